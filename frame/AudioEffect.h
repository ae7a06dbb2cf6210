// Base class of an effect: keeps the record a host drives, maps the host's
// opcodes to virtual operations with defaults for each, wraps the host
// callback and offers the value-to-text tools used for parameter displays.
#pragma once

#include "frame/vst2.h"

class AudioEffect {
public:
    // Fills the record (every byte zeroed first). Never allocates.
    AudioEffect(audioMasterCallback audioMaster, VstInt32 numPrograms, VstInt32 numParams);
    virtual ~AudioEffect();

    AudioEffect(const AudioEffect&) = delete;
    AudioEffect& operator=(const AudioEffect&) = delete;

    virtual void setParameter(VstInt32 index, float value);
    virtual float getParameter(VstInt32 index);
    // Sets the parameter on this object first, then tells the host.
    virtual void setParameterAutomated(VstInt32 index, float value);

    // Audio thread. `process` adds into the outputs, `processReplacing`
    // overwrites them.
    virtual void process(float** inputs, float** outputs, VstInt32 sampleFrames) = 0;
    virtual void processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames);

    virtual VstIntPtr dispatcher(VstInt32 opCode, VstInt32 index, VstIntPtr value, void* ptr,
                                 float opt);

    virtual void open();
    virtual void close();

    virtual VstInt32 getProgram();
    virtual void setProgram(VstInt32 program);
    virtual void setProgramName(char* name);
    virtual void getProgramName(char* name);
    virtual void getParameterLabel(VstInt32 index, char* label);
    virtual void getParameterDisplay(VstInt32 index, char* text);
    virtual void getParameterName(VstInt32 index, char* text);
    virtual float getVu();
    virtual VstInt32 getChunk(void** data, bool isPreset);
    virtual VstInt32 setChunk(void* data, VstInt32 byteSize, bool isPreset);
    virtual void setSampleRate(float sampleRate);
    virtual void setBlockSize(VstInt32 blockSize);
    virtual void suspend();
    virtual void resume();

    virtual void setUniqueID(VstInt32 id);
    virtual void setNumInputs(VstInt32 inputs);
    virtual void setNumOutputs(VstInt32 outputs);
    virtual void hasVu(bool state);
    virtual void hasClip(bool state);
    virtual void canMono(bool state);
    virtual void canProcessReplacing(bool state);
    virtual void programsAreChunks(bool state);
    virtual void setRealtimeQualities(VstInt32 qualities);
    virtual void setOfflineQualities(VstInt32 qualities);
    virtual void setInitialDelay(VstInt32 delay);

    virtual float getSampleRate();
    virtual VstInt32 getBlockSize();

    virtual VstInt32 getMasterVersion();
    virtual VstInt32 getCurrentUniqueId();
    virtual void masterIdle();
    virtual bool isInputConnected(VstInt32 input);
    virtual bool isOutputConnected(VstInt32 output);

    // Value-to-text tools: each writes exactly one terminated text of at
    // most 8 characters (9 bytes with the terminator).
    virtual void dB2string(float value, char* text);
    virtual void Hz2string(float samples, char* text);
    virtual void ms2string(float samples, char* text);
    virtual void float2string(float value, char* text);
    virtual void long2string(VstInt32 value, char* text);

    AEffect* getAeffect() { return &cEffect; }

protected:
    void setFlag(VstInt32 flag, bool state);

    float sampleRate;
    audioMasterCallback audioMaster;
    VstInt32 numPrograms;
    VstInt32 numParams;
    VstInt32 curProgram;
    VstInt32 blockSize;
    AEffect cEffect;
};

// Longest text (terminator included) the value-to-text tools write.
constexpr int kValueTextBytes = 9;

// Creates the plug-in's effect object for a host; null when it cannot be
// made. Provided by the effect layer.
AudioEffect* createEffectInstance(audioMasterCallback audioMaster);

// The entry point's work: version query, construction, the record. Never
// throws.
AEffect* pluginEntry(audioMasterCallback audioMaster) noexcept;
// The same with another effect's factory, for binaries of other effects
// built on the same frame.
AEffect* pluginEntry(audioMasterCallback audioMaster,
                     AudioEffect* (*create)(audioMasterCallback)) noexcept;
