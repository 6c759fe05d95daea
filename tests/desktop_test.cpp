// The close endpoint as a front end meets it: the one line that closes the window, everything
// else ignored, and no client able to hold it up or reach it from another user.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/closeendpoint.h"
#include "platform/platform.h"
#include "tests/testsupport.h"

namespace fs = std::filesystem;
using testing_support::ScopedEnv;
using testing_support::TempFolder;

namespace {

constexpr char kClose[] = "1025 8687639 8687639\n";
constexpr uid_t kStranger = 65534;

// Counts the close requests the endpoint reports from its thread.
class CloseCounter {
 public:
  std::function<void()> callback() {
    return [this] {
      std::lock_guard lock(mutex_);
      ++count_;
      changed_.notify_all();
    };
  }
  // True once at least n requests arrived within the time given.
  bool WaitFor(int n, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return count_ >= n; });
  }
  int count() {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

// A connected client socket, or -1 with errno set.
int Connect(const fs::path& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  timeval limit{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  return fd;
}

// Waits until the endpoint hangs up, reading whatever comes. True when it did within five
// seconds, i.e. the endpoint has finished with this client.
bool HungUp(int fd) {
  char buffer[256];
  for (;;) {
    ssize_t count = ::recv(fd, buffer, sizeof(buffer), 0);
    if (count == 0) return true;
    if (count > 0 || errno == EINTR) continue;
    return errno != EAGAIN && errno != EWOULDBLOCK;  // a reset is a hang-up too
  }
}

// Writes what it can; the endpoint stops reading a line that is too long.
void SendAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t count = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (count < 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
}

// One client's whole conversation: connect, write, end the stream, wait for the hang-up.
bool Converse(const fs::path& path, std::string_view bytes) {
  int fd = Connect(path);
  if (fd < 0) return false;
  SendAll(fd, bytes);
  ::shutdown(fd, SHUT_WR);
  bool hungUp = HungUp(fd);
  ::close(fd);
  return hungUp;
}

class CloseEndpointTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::permissions(runtime.path(), fs::perms::owner_all); }

  TempFolder runtime;
  ScopedEnv xdg{"XDG_RUNTIME_DIR", runtime.path().string()};
  ScopedEnv pkexec{"PKEXEC_UID", std::nullopt};
  ScopedEnv sudo{"SUDO_UID", std::nullopt};
  CloseCounter closes;
};

TEST_F(CloseEndpointTest, SocketIsPrivateNamedAfterTheWindowAndRemovedAtTheEnd) {
  fs::path path;
  {
    auto endpoint = platform::ListenForClose(closes.callback());
    path = endpoint->path();
    EXPECT_EQ(path, runtime.path() / ("TFormNOLBE." + std::to_string(::getpid())));
    struct stat info {};
    ASSERT_EQ(::lstat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(info.st_uid, ::geteuid());
  }
  EXPECT_FALSE(platform::EntryExists(path));
}

TEST_F(CloseEndpointTest, CloseMessageClosesOncePerMessage) {
  auto endpoint = platform::ListenForClose(closes.callback());
  EXPECT_TRUE(Converse(endpoint->path(), kClose));
  ASSERT_TRUE(closes.WaitFor(1));
  EXPECT_TRUE(Converse(endpoint->path(), kClose));
  ASSERT_TRUE(closes.WaitFor(2));
  EXPECT_EQ(closes.count(), 2);
}

TEST_F(CloseEndpointTest, MessageArrivingInPiecesStillCloses) {
  auto endpoint = platform::ListenForClose(closes.callback());
  int fd = Connect(endpoint->path());
  ASSERT_GE(fd, 0);
  for (const char* piece : {"10", "25 8687", "639 868763", "9", "\n"}) {
    SendAll(fd, piece);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(closes.WaitFor(1));
  ::close(fd);
}

struct IgnoredLine {
  const char* name;
  std::string bytes;
};

class IgnoredLineTest : public CloseEndpointTest,
                        public ::testing::WithParamInterface<IgnoredLine> {};

// The endpoint hangs up on each of these without closing, and still answers the next client.
TEST_P(IgnoredLineTest, DoesNothingAndEndpointStillAnswers) {
  auto endpoint = platform::ListenForClose(closes.callback());
  EXPECT_TRUE(Converse(endpoint->path(), GetParam().bytes));
  EXPECT_EQ(closes.count(), 0);
  EXPECT_TRUE(Converse(endpoint->path(), kClose));
  EXPECT_TRUE(closes.WaitFor(1));
  EXPECT_EQ(closes.count(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    CloseEndpoint, IgnoredLineTest,
    ::testing::Values(IgnoredLine{"OtherSecondParameter", "1025 8687639 1\n"},
                      IgnoredLine{"OtherFirstParameter", "1025 1 8687639\n"},
                      IgnoredLine{"OtherMessage", "1024 8687639 8687639\n"},
                      IgnoredLine{"TrailingWords", "1025 8687639 8687639 extra\n"},
                      IgnoredLine{"CarriageReturn", "1025 8687639 8687639\r\n"},
                      IgnoredLine{"DoubleSpace", "1025  8687639 8687639\n"},
                      IgnoredLine{"Garbage", std::string("\x01\xff garbage \0 x\n", 15)},
                      IgnoredLine{"EmptyLine", "\n"},
                      IgnoredLine{"NoLineFeedThenEnd", "1025 8687639 8687639"},
                      IgnoredLine{"NothingThenEnd", ""},
                      IgnoredLine{"MegabyteLine", std::string(1 << 20, '7') + "\n"},
                      IgnoredLine{"MessageAfterLongPrefix", std::string(100, ' ') + kClose}),
    [](const auto& info) { return std::string(info.param.name); });

// A client that keeps writing without a line feed is cut off as soon as it is past any line
// that could be the close message, not left to fill memory until its time runs out.
TEST_F(CloseEndpointTest, EndlessLineIsCutOffAtOnce) {
  auto endpoint = platform::ListenForClose(closes.callback());
  int fd = Connect(endpoint->path());
  ASSERT_GE(fd, 0);
  auto start = std::chrono::steady_clock::now();
  SendAll(fd, std::string(1 << 20, '7'));
  EXPECT_TRUE(HungUp(fd));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  ::close(fd);
  EXPECT_EQ(closes.count(), 0);
}

// Clients that connect and say nothing are served side by side with the front end: it is heard
// at once, not after their time runs out, even when they outnumber the places kept for waiting
// clients; and they are dropped after a while.
TEST_F(CloseEndpointTest, SilentClientsDelayNoOne) {
  auto endpoint = platform::ListenForClose(closes.callback());
  std::vector<int> silent;
  for (int i = 0; i < 40; ++i) {
    int fd = Connect(endpoint->path());
    ASSERT_GE(fd, 0);
    silent.push_back(fd);
  }
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(Converse(endpoint->path(), kClose));
  EXPECT_TRUE(closes.WaitFor(1, std::chrono::milliseconds(1500)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_TRUE(HungUp(silent.back())) << "a silent client is never dropped";
  for (int fd : silent) ::close(fd);
  EXPECT_EQ(closes.count(), 1);
}

// Run as root: a child process that becomes another user talks to the endpoint. The socket is
// opened to everyone for this, so that the endpoint's own check of the peer is what refuses.
TEST_F(CloseEndpointTest, OtherUserIsNotHeard) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  fs::permissions(runtime.path(),
                  fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  auto endpoint = platform::ListenForClose(closes.callback());
  const fs::path& path = endpoint->path();

  auto asStranger = [&](bool openSocket) {
    ::chmod(path.c_str(), openSocket ? 0666 : 0600);
    pid_t child = ::fork();
    if (child == 0) {
      if (::setgid(kStranger) != 0 || ::setuid(kStranger) != 0) ::_exit(10);
      int fd = Connect(path);
      if (fd < 0) ::_exit(errno == EACCES ? 20 : 11);
      SendAll(fd, kClose);
      ::shutdown(fd, SHUT_WR);
      ::_exit(HungUp(fd) ? 0 : 12);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(asStranger(false), 20) << "the socket's mode lets another user connect";
  EXPECT_EQ(asStranger(true), 0) << "the endpoint did not hang up on another user";
  EXPECT_EQ(closes.count(), 0);
  ::chmod(path.c_str(), 0600);
  EXPECT_TRUE(Converse(path, kClose));
  EXPECT_TRUE(closes.WaitFor(1));
}

// Started through pkexec as root on behalf of a user: the endpoint belongs to that user, who
// runs the front end, in a folder of that user's.
TEST_F(CloseEndpointTest, UnderPkexecTheInvokingUserIsHeard) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to stand for a pkexec start";
  TempFolder temp;
  fs::permissions(temp.path(), fs::perms::all);  // like /tmp, for the fallback folder
  ScopedEnv tmpdir{"TMPDIR", temp.path().string()};
  ScopedEnv invoker{"PKEXEC_UID", std::to_string(kStranger)};
  auto endpoint = platform::ListenForClose(closes.callback());
  const fs::path& path = endpoint->path();
  EXPECT_NE(path.parent_path(), runtime.path()) << "root's runtime folder is not the user's";
  struct stat info {};
  ASSERT_EQ(::lstat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, kStranger);
  ASSERT_EQ(::lstat(path.parent_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_uid, kStranger);
  EXPECT_EQ(info.st_mode & 077, 0u);

  pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(kStranger) != 0 || ::setuid(kStranger) != 0) ::_exit(10);
    ::_exit(Converse(path, kClose) ? 0 : 11);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(closes.WaitFor(1));
}

struct RuntimeCase {
  const char* name;
  // Prepares the runtime folder named by XDG_RUNTIME_DIR (or leaves it unset) and the
  // temporary folder; returns the folder the socket must end up in, empty when it must fail.
  std::function<fs::path(const fs::path& runtime, const fs::path& temp)> prepare;
};

class RuntimeFolderTest : public CloseEndpointTest,
                          public ::testing::WithParamInterface<RuntimeCase> {};

// Where the socket goes when $XDG_RUNTIME_DIR is missing or cannot be trusted: a 0700 folder
// of the user's below the temporary folder, never one that someone else could have prepared.
TEST_P(RuntimeFolderTest, SocketGoesWhereOnlyTheUserCanReachIt) {
  TempFolder temp;
  ScopedEnv tmpdir{"TMPDIR", temp.path().string()};
  fs::path expected = GetParam().prepare(runtime.path(), temp.path());
  if (expected.empty()) {
    EXPECT_THROW(platform::ListenForClose(closes.callback()), platform::Error);
    return;
  }
  auto endpoint = platform::ListenForClose(closes.callback());
  EXPECT_EQ(endpoint->path().parent_path(), expected);
  struct stat info {};
  ASSERT_EQ(::lstat(expected.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 077, 0u);
  EXPECT_TRUE(Converse(endpoint->path(), kClose));
  EXPECT_TRUE(closes.WaitFor(1));
}

fs::path OwnFolder(const fs::path& temp) {
  return temp / ("zorbel-" + std::to_string(::geteuid()));
}

INSTANTIATE_TEST_SUITE_P(
    CloseEndpoint, RuntimeFolderTest,
    ::testing::Values(RuntimeCase{"Unset",
                                  [](const fs::path&, const fs::path& temp) {
                                    ::unsetenv("XDG_RUNTIME_DIR");
                                    return OwnFolder(temp);
                                  }},
                      RuntimeCase{"Relative",
                                  [](const fs::path&, const fs::path& temp) {
                                    ::setenv("XDG_RUNTIME_DIR", "run", 1);
                                    return OwnFolder(temp);
                                  }},
                      RuntimeCase{"WritableByOthers",
                                  [](const fs::path& runtime, const fs::path& temp) {
                                    fs::permissions(runtime, fs::perms::all);
                                    return OwnFolder(temp);
                                  }},
                      RuntimeCase{"Missing",
                                  [](const fs::path& runtime, const fs::path& temp) {
                                    ::setenv("XDG_RUNTIME_DIR", (runtime / "gone").c_str(), 1);
                                    return OwnFolder(temp);
                                  }},
                      RuntimeCase{"OwnFolderAlreadyThere",
                                  [](const fs::path&, const fs::path& temp) {
                                    ::unsetenv("XDG_RUNTIME_DIR");
                                    fs::create_directory(OwnFolder(temp));
                                    fs::permissions(OwnFolder(temp), fs::perms::owner_all);
                                    return OwnFolder(temp);
                                  }},
                      RuntimeCase{"OwnFolderOpenToOthers",
                                  [](const fs::path&, const fs::path& temp) {
                                    ::unsetenv("XDG_RUNTIME_DIR");
                                    fs::create_directory(OwnFolder(temp));
                                    fs::permissions(OwnFolder(temp), fs::perms::all);
                                    return fs::path();
                                  }},
                      RuntimeCase{"OwnFolderIsALink",
                                  [](const fs::path& runtime, const fs::path& temp) {
                                    ::unsetenv("XDG_RUNTIME_DIR");
                                    fs::create_directory_symlink(runtime, OwnFolder(temp));
                                    return fs::path();
                                  }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
