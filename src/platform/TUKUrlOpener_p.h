#ifndef TUKCLOUDUTILS_TUKURLOPENER_P_H
#define TUKCLOUDUTILS_TUKURLOPENER_P_H

#include <string>

// Starts the system's URL opener program, detached, with one command-line argument. Plain C++,
// no Qt: the subsystems call this and never start programs through the operating system
// themselves.
namespace tuk {
namespace platform {

// Starts the system's URL opener with `utf8Text` as its only argument and returns at once,
// without waiting for the program to end. Returns true when the program was started.
//
// Linux: the first executable regular file named "xdg-open" in the folders of PATH (empty and
// relative entries are skipped; "/usr/local/bin:/usr/bin:/bin" when PATH is not set) is executed
// with the text, as its UTF-8 bytes, as argv[1]. The program runs in a session of its own, is
// not our child (nobody has to wait for it), starts with no signal blocked and SIGPIPE at its
// default action, and inherits standard input, output and error but no other open file of ours.
// Returns false, starting nothing, when no such file is found, when the text holds a NUL
// character (it cannot be passed as an argument), or when the program could not be executed.
//
// Windows: ShellExecuteW(null, "OPEN", "IEXPLORE.EXE", text as UTF-16, null, SW_SHOWNORMAL);
// true when the shell reports success (a result above 32).
bool startUrlOpener(const std::string& utf8Text);

} // namespace platform
} // namespace tuk

#endif // TUKCLOUDUTILS_TUKURLOPENER_P_H
