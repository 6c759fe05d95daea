// What the desktop offers the progress window beyond drawing: the taskbar entry's progress, the
// system sounds, and the endpoint through which a front end asks the window to close.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>

namespace platform {

// Progress on the program's taskbar/dock entry, 0.0 to 1.0; nothing when the desktop has no
// such service.
void ShowTaskbarProgress(double fraction, bool visible);

enum class DesktopSound { Bell, Information };
// Never fails visibly: without a sound server nothing is heard (or the window's own beep).
bool PlayDesktopSound(DesktopSound sound);

// Listens for the close message ("1025 8687639 8687639\n") from the same user or root.
// onClose is called on the endpoint's own thread, once per valid message. The socket is
// removed when the object is destroyed. Throws platform::Error when it cannot listen.
class CloseEndpoint {
 public:
  virtual ~CloseEndpoint() = default;
  virtual const std::filesystem::path& path() const = 0;
};
std::unique_ptr<CloseEndpoint> ListenForClose(std::function<void()> onClose);

}  // namespace platform
