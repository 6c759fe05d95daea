// The close endpoint on Linux: a Unix-domain socket named after the window class, in the user's
// runtime folder, served by a thread of its own. A front end finds it by the class name and
// the process id, writes one line and is done.
#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/closeendpoint.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// The socket's name before the process id: the window class a front end looks for.
constexpr std::string_view kEndpointPrefix = "TFormNOLBE.";
// The message number and its two parameters, as the front end writes them.
constexpr std::string_view kCloseLine = "1025 8687639 8687639\n";
// Longer than any line that could be the close message: a client that goes past it without a
// line feed is dropped, so its memory never grows.
constexpr std::size_t kLineLimit = 64;
// A client that connects and then says nothing is dropped after this long.
constexpr auto kClientDeadline = std::chrono::seconds(2);
// Waiting clients held at once; a newcomer beyond this pushes out the one waiting longest, so
// a crowd of silent connections cannot lock the front end out.
constexpr std::size_t kClientLimit = 32;

[[noreturn]] void ThrowErrno() { ThrowSystemError(errno); }

fs::path EndpointOf(int processId) {
  return RuntimeFolder() / (std::string(kEndpointPrefix) + std::to_string(processId));
}

// A connected socket to the endpoint at path, or -1 with errno set.
int ConnectTo(const fs::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.native().size() >= sizeof(address.sun_path)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(address.sun_path, path.c_str(), path.native().size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

class Connection {
 public:
  explicit Connection(int fd) : fd_(fd), deadline_(Clock::now() + kClientDeadline) {}
  ~Connection() {
    if (fd_ >= 0) ::close(fd_);
  }
  Connection(Connection&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)),
        deadline_(other.deadline_),
        received_(std::move(other.received_)) {}
  Connection& operator=(Connection&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(other.fd_, -1);
      deadline_ = other.deadline_;
      received_ = std::move(other.received_);
    }
    return *this;
  }

  int fd() const { return fd_; }
  Clock::time_point deadline() const { return deadline_; }

  enum class Outcome { Waiting, Done, CloseRequested };
  // Reads what is there without blocking. A complete line, the end of the stream, an error or
  // a line past the limit ends the connection.
  Outcome Read() {
    char buffer[kLineLimit + 1];
    std::size_t room = kLineLimit + 1 - received_.size();
    ssize_t count = ::recv(fd_, buffer, room, MSG_DONTWAIT);
    if (count < 0) return (errno == EAGAIN || errno == EINTR) ? Outcome::Waiting : Outcome::Done;
    if (count == 0) return Outcome::Done;
    received_.append(buffer, static_cast<std::size_t>(count));
    std::size_t end = received_.find('\n');
    if (end != std::string::npos) {
      return std::string_view(received_).substr(0, end + 1) == kCloseLine ? Outcome::CloseRequested
                                                                          : Outcome::Done;
    }
    return received_.size() > kLineLimit ? Outcome::Done : Outcome::Waiting;
  }

 private:
  int fd_;
  Clock::time_point deadline_;
  std::string received_;
};

class LinuxCloseEndpoint : public CloseEndpoint {
 public:
  explicit LinuxCloseEndpoint(std::function<void()> onClose)
      : onClose_(std::move(onClose)), owner_(ActingUser().uid) {
    path_ = EndpointOf(::getpid());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.native().size() >= sizeof(address.sun_path)) ThrowSystemError(ENAMETOOLONG);
    std::memcpy(address.sun_path, path_.c_str(), path_.native().size() + 1);

    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) ThrowErrno();
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener_ < 0) Fail(errno);
    // A socket left behind by an earlier process with our process id is stale; anything else
    // of that name is not ours to remove.
    struct stat old {};
    if (::lstat(path_.c_str(), &old) == 0 && S_ISSOCK(old.st_mode)) ::unlink(path_.c_str());
    if (::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
      Fail(errno);
    bound_ = true;
    // Until listen() nobody can connect, so the mode and owner are right before anyone can.
    if (::chmod(path_.c_str(), 0600) != 0) Fail(errno);
    if (owner_ != ::geteuid() && ::lchown(path_.c_str(), owner_, static_cast<gid_t>(-1)) != 0)
      Fail(errno);
    struct stat bound {};
    if (::lstat(path_.c_str(), &bound) != 0) Fail(errno);
    inode_ = bound.st_ino;
    if (::listen(listener_, SOMAXCONN) != 0) Fail(errno);
    thread_ = std::thread([this] { Serve(); });
  }

  ~LinuxCloseEndpoint() override {
    std::uint64_t one = 1;
    if (::write(wake_, &one, sizeof(one)) < 0) {
      // An eventfd write fails only on counter overflow, which cannot happen here.
    }
    thread_.join();
    Release();
  }

  const fs::path& path() const override { return path_; }

 private:
  [[noreturn]] void Fail(int error) {
    Release();
    ThrowSystemError(error);
  }

  void Release() {
    if (bound_) {
      // Remove only the socket we made, not something that took its name since.
      struct stat now {};
      if (::lstat(path_.c_str(), &now) == 0 && now.st_ino == inode_) ::unlink(path_.c_str());
      bound_ = false;
    }
    if (listener_ >= 0) ::close(listener_);
    if (wake_ >= 0) ::close(wake_);
    listener_ = wake_ = -1;
  }

  bool Trusted(int fd) const {
    ucred peer{};
    socklen_t size = sizeof(peer);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
    return peer.uid == owner_ || peer.uid == 0 || peer.uid == ::geteuid();
  }

  void Accept() {
    for (;;) {
      int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) return;  // EAGAIN: the queue is empty; anything else is the client's loss
      Connection client(fd);
      if (!Trusted(fd)) continue;  // closed as it goes out of scope, unread
      if (clients_.size() >= kClientLimit) clients_.erase(clients_.begin());
      clients_.push_back(std::move(client));
    }
  }

  void Serve() {
    std::vector<pollfd> watched;
    for (;;) {
      auto now = Clock::now();
      std::erase_if(clients_, [now](const Connection& c) { return c.deadline() <= now; });
      int timeout = -1;
      if (!clients_.empty()) {
        // Clients are kept in the order they came, so the first one is due first.
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(clients_.front().deadline() - now);
        timeout = static_cast<int>(wait.count());
      }
      watched.clear();
      watched.push_back({wake_, POLLIN, 0});
      watched.push_back({listener_, POLLIN, 0});
      for (const Connection& client : clients_) watched.push_back({client.fd(), POLLIN, 0});
      if (::poll(watched.data(), watched.size(), timeout) < 0) {
        if (errno == EINTR) continue;
        return;  // cannot wait any more; the socket stays until destruction removes it
      }
      if (watched[0].revents) return;
      // Reading first, so that the indices still match the clients polled.
      std::vector<std::size_t> finished;
      for (std::size_t i = 0; i < clients_.size(); ++i) {
        if (!watched[i + 2].revents) continue;
        Connection::Outcome outcome = clients_[i].Read();
        if (outcome == Connection::Outcome::Waiting) continue;
        finished.push_back(i);
        if (outcome == Connection::Outcome::CloseRequested) onClose_();
      }
      for (auto it = finished.rbegin(); it != finished.rend(); ++it)
        clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(*it));
      if (watched[1].revents) Accept();
    }
  }

  std::function<void()> onClose_;
  uid_t owner_;
  fs::path path_;
  ino_t inode_ = 0;
  bool bound_ = false;
  int wake_ = -1;
  int listener_ = -1;
  std::vector<Connection> clients_;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<CloseEndpoint> ListenForClose(std::function<void()> onClose) {
  return std::make_unique<LinuxCloseEndpoint>(std::move(onClose));
}

std::vector<int> ListeningWindows() {
  const fs::path folder = RuntimeFolder();
  std::vector<int> windows;
  DIR* listing = ::opendir(folder.c_str());
  if (!listing) ThrowSystemError(errno);
  while (const dirent* entry = ::readdir(listing)) {
    std::string_view name = entry->d_name;
    if (!name.starts_with(kEndpointPrefix)) continue;
    std::string_view digits = name.substr(kEndpointPrefix.size());
    if (digits.empty() || digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    // Only a window that accepts a connection is alive; a socket left by a crash refuses it.
    int fd = ConnectTo(folder / name);
    if (fd < 0) continue;
    ::close(fd);
    windows.push_back(std::stoi(std::string(digits)));
  }
  ::closedir(listing);
  std::sort(windows.begin(), windows.end());
  return windows;
}

bool WindowListens(int processId) {
  int fd = ConnectTo(EndpointOf(processId));
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

void SendCloseMessage(int processId) {
  int fd = ConnectTo(EndpointOf(processId));
  if (fd < 0) ThrowSystemError(errno == ENOENT ? ECONNREFUSED : errno);
  std::string_view rest = kCloseLine;
  while (!rest.empty()) {
    ssize_t written = ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) {
      int error = errno;
      ::close(fd);
      ThrowSystemError(error);
    }
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
  ::close(fd);
}

}  // namespace platform
