#include "client/MessageQueuePoster.h"

namespace nv {

MessagePoster& CurrentMessagePoster() {
    static MessageQueuePoster poster;
    return poster;
}

} // namespace nv
