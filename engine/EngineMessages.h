#pragma once

#include <cstdint>

namespace tarnwick {

// Messages posted between the port workers, their sessions and the port's owner mailbox.
inline constexpr std::uint32_t WM_USER = 0x0400;
inline constexpr std::uint32_t WM_PORT_STARTED = WM_USER + 200;     // 1224
inline constexpr std::uint32_t WM_PORT_RESTART = WM_USER + 201;     // 1225
inline constexpr std::uint32_t WM_PORT_STOP = WM_USER + 202;        // 1226
inline constexpr std::uint32_t WM_SESSION_STARTED = WM_USER + 203;  // 1227
inline constexpr std::uint32_t WM_SESSION_ENDED = WM_USER + 204;    // 1228
// The resolver to a worker: a host name lookup it asked for has finished (wParam: the
// worker's tag for it).
inline constexpr std::uint32_t WM_NAME_RESOLVED = WM_USER + 205;  // 1229

}  // namespace tarnwick
