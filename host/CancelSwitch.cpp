#include "CancelSwitch.h"

namespace kvhost {

void CancelSwitch::add(kv::Kavrin& kavrin) {
    objects_.push_back(&kavrin);
}

void CancelSwitch::cancel() {
    cancelled_ = true;
    for (kv::Kavrin* kavrin : objects_) {
        kavrin->Cancel();
    }
}

}  // namespace kvhost
