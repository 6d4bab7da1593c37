#pragma once

namespace kvtest {

// The last of `items`, or a value-initialised one when there are none: a test whose code under
// test recorded nothing then fails its expectations instead of reading past the end of a list,
// which would end the test program and hide the tests after it.
template <typename Items>
typename Items::value_type lastOf(const Items& items) {
    return items.empty() ? typename Items::value_type{} : items.back();
}

}  // namespace kvtest
