// The library's exported entry point. Hosts look for VSTPluginMain first
// and fall back to main; both names are bound to this one function.
#include "frame/AudioEffect.h"

extern "C"
#if !defined(_WIN32)
    __attribute__((visibility("default")))
#endif
    AEffect* VSTCALLBACK
    VSTPluginMain(audioMasterCallback audioMaster) {
    return pluginEntry(audioMaster);
}

#if defined(__ELF__)
// C++ does not allow a function named main with this signature, so the
// second name is an assembler alias of the first.
asm(".globl main\n\t.type main, @function\n\t.set main, VSTPluginMain");
#endif
