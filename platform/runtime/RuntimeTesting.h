#pragma once
// Tests only: control of the object runtime.

namespace sim {
// The next objc_allocateClassPair gives null, as when the platform cannot
// make the class.
void failNextAllocateClassPair();
}  // namespace sim
