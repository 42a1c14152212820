// The Windows headers, included once for every name of the platform layer that
// Windows defines. The build defines WIN32_LEAN_AND_MEAN, NOMINMAX and the
// target version (_WIN32_WINNT) for every source alike.
#pragma once

// clang-format off
#include <winsock2.h>  // before windows.h, which would bring the old winsock.h
#include <ws2tcpip.h>
#include <windows.h>
#include <shlwapi.h>
#include <winternl.h>
// clang-format on
