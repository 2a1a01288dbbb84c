// A library the image-tracking tests load and unload at run time.
extern "C" int crashTestPluginAnswer(int x) {
    return x * 7 + 1;
}
