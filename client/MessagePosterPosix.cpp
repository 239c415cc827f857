#include "client/MessagePoster.h"

namespace nv {

MessagePoster& CurrentMessagePoster() {
    static MessageQueuePoster poster;
    return poster;
}

} // namespace nv
