#pragma once

#include <cstdint>

namespace tarnwick {

// Messages posted between worker threads and the port's owner mailbox.
inline constexpr std::uint32_t WM_USER = 0x0400;
inline constexpr std::uint32_t WM_PORT_STARTED = WM_USER + 200;     // 1224
inline constexpr std::uint32_t WM_PORT_RESTART = WM_USER + 201;     // 1225
inline constexpr std::uint32_t WM_PORT_STOP = WM_USER + 202;        // 1226
inline constexpr std::uint32_t WM_SESSION_STARTED = WM_USER + 203;  // 1227
inline constexpr std::uint32_t WM_SESSION_ENDED = WM_USER + 204;    // 1228

}  // namespace tarnwick
