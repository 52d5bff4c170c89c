#include "http/RequestContext.h"

namespace velnor {

RequestContext::RequestContext() noexcept = default;

RequestContext::~RequestContext() {
    resetRequest();
}

void RequestContext::resetRequest() noexcept {
    headBuffer.reset();
    bodyBuffer.reset();
    headerTable.clear();
    variableTable.clear();
    detourTaken = false;
}

void RequestContext::startConnection() noexcept {
    resetRequest();
    pendingBuffer.reset();
    path[0] = 0;
    target[0] = 0;
}

} // namespace velnor
