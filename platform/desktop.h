// What the desktop offers the progress window beyond drawing: the taskbar entry's progress and
// the system sounds.
#pragma once

namespace platform {

// Progress on the program's taskbar/dock entry, 0.0 to 1.0; nothing when the desktop has no
// such service.
void ShowTaskbarProgress(double fraction, bool visible);

enum class DesktopSound { Bell, Information };
// Never fails visibly: without a sound server nothing is heard (or the window's own beep).
bool PlayDesktopSound(DesktopSound sound);

}  // namespace platform
