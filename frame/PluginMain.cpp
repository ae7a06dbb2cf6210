// The library's exported entry point. Hosts look for VSTPluginMain first
// and fall back to main; both names are bound to this one function. A
// binary of another effect built on this frame compiles this file with
// FLANGER_EFFECT_FACTORY naming that effect's factory.
#include "frame/AudioEffect.h"

#if defined(FLANGER_EFFECT_FACTORY)
AudioEffect* FLANGER_EFFECT_FACTORY(audioMasterCallback audioMaster);
#endif

extern "C"
#if !defined(_WIN32)
    __attribute__((visibility("default")))
#endif
    AEffect* VSTCALLBACK
    VSTPluginMain(audioMasterCallback audioMaster) {
#if defined(FLANGER_EFFECT_FACTORY)
    return pluginEntry(audioMaster, FLANGER_EFFECT_FACTORY);
#else
    return pluginEntry(audioMaster);
#endif
}

#if defined(__ELF__)
// C++ does not allow a function named main with this signature, so the
// second name is an assembler alias of the first.
asm(".globl main\n\t.type main, @function\n\t.set main, VSTPluginMain");
#endif
