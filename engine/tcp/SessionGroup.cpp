#include "engine/tcp/SessionGroup.h"

#include "engine/EngineMessages.h"
#include "engine/worker/ThreadRegistry.h"

namespace tarnwick {

void SessionGroup::ended() {
    if (running_.fetch_sub(1) == 1 && waiting_.load()) {
        PostThreadMessage(listener_, WM_SESSION_ENDED, 0, 0);
    }
}

bool SessionGroup::waitForAll() {
    waiting_.store(true);
    return running_.load() == 0;
}

}  // namespace tarnwick
