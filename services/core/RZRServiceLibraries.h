#pragma once
// The explicit list of the service libraries of this program. Registration
// is a plain call (never a static initialiser, which the linker may drop
// from a static library); VUVEzu::configure() makes it before configuring.

// Registers every listed library once per process; later calls do nothing.
void RZRRegisterServiceLibraries();
