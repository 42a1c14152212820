// File names and the path separator of Windows (common/torva.h brings them;
// the build picks this directory's copy).
#pragma once

namespace torva {

// The libraries sit beside the programs (where Windows looks for the DLLs a
// program loads), so their directory is bin; the server, the service host and
// the message DLL.
inline constexpr const char kDirLib[] = "bin";
inline constexpr const char kServerProgram[] = "torvad.exe";
inline constexpr const char kWatchProgram[] = "tvwatch.exe";
inline constexpr const char kEventsLibrary[] = "tvevents.dll";

// Separator of local paths. Registry key paths use the same '\'.
inline constexpr char kPathSep = '\\';
inline constexpr const char kPathSepStr[] = "\\";
// Any character that separates path components: Windows takes '/' too.
inline constexpr const char kPathSepChars[] = "\\/";

// Disconnect file of one IPv4 address: directory, separator, 8 hex digits, ".dca".
inline constexpr const char kDisconnectFileFormat[] = "%s\\%02X%02X%02X%02X.dca";

}  // namespace torva
