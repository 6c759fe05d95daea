// The close endpoint: how a front end asks a running zorbel window to close. Each window listens
// on <runtime folder>/TFormNOLBE.<process id>; a front end writes one line to it.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

namespace platform {

// Listens for the close message ("1025 8687639 8687639\n") from the same user or root.
// onClose is called on the endpoint's own thread, once per valid message. The socket is
// removed when the object is destroyed. Throws platform::Error when it cannot listen.
class CloseEndpoint {
 public:
  virtual ~CloseEndpoint() = default;
  virtual const std::filesystem::path& path() const = 0;
};
std::unique_ptr<CloseEndpoint> ListenForClose(std::function<void()> onClose);

// The process ids of the acting user's windows that are listening now, in ascending order. A
// socket left behind by a program that ended does not count.
std::vector<int> ListeningWindows();
// Whether the window of that process is listening now.
bool WindowListens(int processId);
// Sends the close message to the window of that process; throws Error (ECONNREFUSED when no
// such window listens).
void SendCloseMessage(int processId);

}  // namespace platform
