// A library the image-tracking tests load and unload at run time.
extern "C" int crashTestPluginAnswer(int x) {
    return x * 7 + 1;
}

// Faults with the frame pointer cleared, so that only the library's own
// call-frame information leads back to the caller. The frame pointer is
// saved first: that is what the call-frame information describes.
extern "C" __attribute__((noinline, optimize("omit-frame-pointer"))) void crashTestPluginFault(
    int* target) {
    asm volatile(
        "pushq %%rbp\n\t"
        ".cfi_adjust_cfa_offset 8\n\t"
        ".cfi_rel_offset %%rbp, 0\n\t"
        "xorl %%ebp, %%ebp\n\t"
        "movl $1, (%0)\n\t"
        "popq %%rbp\n\t"
        ".cfi_adjust_cfa_offset -8\n\t"
        ".cfi_restore %%rbp"
        :
        : "D"(target)
        : "memory");
}
