#pragma once

#include <cstdint>

namespace tarnwick {

// Ids of worker threads and of mailboxes (the window that receives a port's notices)
// come from one process-wide counter and are never reused; 0 means "none".
using ThreadId = std::uint32_t;
using MailboxId = std::uint32_t;

}  // namespace tarnwick
