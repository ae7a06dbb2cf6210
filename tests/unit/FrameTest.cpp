// The base class and the record: fields, flags, dispatcher answers and the
// host-call wrappers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "frame/AudioEffect.h"

namespace {

struct HostLog {
    std::vector<VstInt32> opcodes;
    VstIntPtr answer = 0;
};
HostLog* gHost = nullptr;

VstIntPtr VSTCALLBACK recordingHost(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
    gHost->opcodes.push_back(opcode);
    return gHost->answer;
}

// A bare effect that counts what the dispatcher calls.
class ProbeEffect : public AudioEffect {
public:
    explicit ProbeEffect(audioMasterCallback cb, bool* destroyed = nullptr)
        : AudioEffect(cb, 3, 4), destroyedFlag(destroyed) {}
    ~ProbeEffect() override {
        if (destroyedFlag != nullptr) *destroyedFlag = true;
    }
    void process(float**, float**, VstInt32) override {}
    void setProgram(VstInt32 program) override {
        ++setProgramCalls;
        AudioEffect::setProgram(program);
    }
    void suspend() override { ++suspends; }
    void resume() override { ++resumes; }
    float getVu() override { return vu; }
    VstInt32 getChunk(void**, bool isPreset) override {
        lastPreset = isPreset;
        return 7;
    }
    void open() override { ++calls; }
    void close() override { ++calls; }

    int setProgramCalls = 0, suspends = 0, resumes = 0, calls = 0;
    float vu = 0.0f;
    bool lastPreset = false;
    bool* destroyedFlag;
};

}  // namespace

TEST(Record, IsFilledByTheBaseConstructor) {
    ProbeEffect fx(nullptr);
    const AEffect* e = fx.getAeffect();
    EXPECT_EQ(e->magic, 0x56737450);
    EXPECT_EQ(e->numPrograms, 3);
    EXPECT_EQ(e->numParams, 4);
    EXPECT_EQ(e->numInputs, 1);
    EXPECT_EQ(e->numOutputs, 2);
    EXPECT_EQ(e->flags, 0);
    EXPECT_EQ(e->resvd1, 0);
    EXPECT_EQ(e->resvd2, 0);
    EXPECT_EQ(e->initialDelay, 0);
    EXPECT_EQ(e->ioRatio, 1.0f);
    EXPECT_EQ(e->object, &fx);
    EXPECT_EQ(e->user, nullptr);
    EXPECT_EQ(e->uniqueID, 0x4E6F4566);
    EXPECT_EQ(e->version, 1);
    for (char c : e->future) EXPECT_EQ(c, 0);
    EXPECT_EQ(fx.getSampleRate(), 44100.0f);
    EXPECT_EQ(fx.getBlockSize(), 1024);
}

TEST(Record, FlagSettersTouchOnlyTheirOwnBit) {
    ProbeEffect fx(nullptr);
    AEffect* e = fx.getAeffect();
    fx.canMono(true);
    fx.canProcessReplacing(true);
    fx.hasVu(true);
    EXPECT_EQ(e->flags, 8 | 16 | 4);
    fx.hasVu(false);
    EXPECT_EQ(e->flags, 8 | 16);
    fx.hasClip(true);
    fx.programsAreChunks(true);
    EXPECT_EQ(e->flags, 8 | 16 | 2 | 32);
    fx.canMono(false);
    fx.hasClip(false);
    EXPECT_EQ(e->flags, 16 | 32);
    fx.setRealtimeQualities(3);
    fx.setOfflineQualities(4);
    fx.setInitialDelay(5);
    EXPECT_EQ(e->realQualities, 3);
    EXPECT_EQ(e->offQualities, 4);
    EXPECT_EQ(e->initialDelay, 5);
}

TEST(Dispatcher, MapsOpcodesToOperations) {
    ProbeEffect fx(nullptr);
    EXPECT_EQ(fx.dispatcher(effIdentify, 9, 9, nullptr, 9.0f), 0x4E764566);
    EXPECT_EQ(fx.dispatcher(effSetProgram, 0, 2, nullptr, 0), 0);
    EXPECT_EQ(fx.dispatcher(effGetProgram, 0, 0, nullptr, 0), 2);
    // Out of range: numPrograms and negative values are ignored.
    fx.dispatcher(effSetProgram, 0, 3, nullptr, 0);
    fx.dispatcher(effSetProgram, 0, -1, nullptr, 0);
    EXPECT_EQ(fx.setProgramCalls, 1);
    EXPECT_EQ(fx.getProgram(), 2);

    fx.dispatcher(effMainsChanged, 0, 0, nullptr, 0);
    fx.dispatcher(effMainsChanged, 0, 1, nullptr, 0);
    fx.dispatcher(effMainsChanged, 0, -1, nullptr, 0);
    EXPECT_EQ(fx.suspends, 1);
    EXPECT_EQ(fx.resumes, 2);

    fx.dispatcher(effSetSampleRate, 0, 0, nullptr, 48000.0f);
    fx.dispatcher(effSetBlockSize, 0, 256, nullptr, 0);
    EXPECT_EQ(fx.getSampleRate(), 48000.0f);
    EXPECT_EQ(fx.getBlockSize(), 256);

    EXPECT_EQ(fx.dispatcher(effGetChunk, 5, 0, nullptr, 0), 7);
    EXPECT_TRUE(fx.lastPreset);
    fx.dispatcher(effGetChunk, 0, 0, nullptr, 0);
    EXPECT_FALSE(fx.lastPreset);
}

TEST(Dispatcher, VuIsScaledAndTruncated) {
    ProbeEffect fx(nullptr);
    EXPECT_EQ(fx.dispatcher(effGetVu, 0, 0, nullptr, 0), 0);
    fx.vu = 0.5f;
    EXPECT_EQ(fx.dispatcher(effGetVu, 0, 0, nullptr, 0), 16383);
    fx.vu = -0.5f;
    EXPECT_EQ(fx.dispatcher(effGetVu, 0, 0, nullptr, 0), -16383);
    // Values a 32-bit answer cannot hold saturate instead of being undefined.
    fx.vu = 1e30f;
    EXPECT_EQ(fx.dispatcher(effGetVu, 0, 0, nullptr, 0), 2147483647);
    fx.vu = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(fx.dispatcher(effGetVu, 0, 0, nullptr, 0), 0);
}

TEST(Dispatcher, UnknownAndEditorOpcodesAnswerZeroAndCallNothing) {
    ProbeEffect fx(nullptr);
    char buffer[16] = "untouched";
    for (VstInt32 op : {13, 14, 15, 16, 17, 18, 19, 20, 21, 25, -1, 100, -100}) {
        EXPECT_EQ(fx.dispatcher(op, 1, 1, buffer, 1.0f), 0) << "opcode " << op;
    }
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_EQ(fx.calls + fx.suspends + fx.resumes + fx.setProgramCalls, 0);
}

TEST(Dispatcher, DefaultTextOperationsWriteEmptyStrings) {
    ProbeEffect fx(nullptr);
    for (VstInt32 op : {effGetProgramName, effGetParamLabel, effGetParamDisplay, effGetParamName}) {
        char buffer[8] = "xxxxxxx";
        fx.dispatcher(op, 0, 0, buffer, 0);
        EXPECT_EQ(buffer[0], '\0') << "opcode " << op;
        EXPECT_EQ(buffer[1], 'x') << "nothing is written after the terminator";
        // A null buffer is not written to.
        EXPECT_EQ(fx.dispatcher(op, 0, 0, nullptr, 0), 0);
    }
}

TEST(RecordEntry, CloseDestroysTheObjectAndAnswersOne) {
    bool destroyed = false;
    auto* fx = new ProbeEffect(nullptr, &destroyed);
    AEffect* e = fx->getAeffect();
    EXPECT_EQ(e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f), 1);
    EXPECT_TRUE(destroyed);
}

TEST(RecordEntry, RejectsMissingRecordsAndBuffers) {
    ProbeEffect fx(nullptr);
    AEffect* e = fx.getAeffect();
    EXPECT_EQ(e->dispatcher(nullptr, effIdentify, 0, 0, nullptr, 0.0f), 0);
    EXPECT_EQ(e->getParameter(nullptr, 0), 0.0f);
    e->setParameter(nullptr, 0, 1.0f);
    e->processReplacing(nullptr, nullptr, nullptr, 16);
    e->processReplacing(e, nullptr, nullptr, 16);
    float* none[2] = {nullptr, nullptr};
    e->process(e, none, none, 16);
}

TEST(HostCalls, AnswerFixedValuesWithoutACallback) {
    ProbeEffect fx(nullptr);
    EXPECT_EQ(fx.getMasterVersion(), 1);
    EXPECT_EQ(fx.getCurrentUniqueId(), 0);
    EXPECT_TRUE(fx.isInputConnected(0));
    EXPECT_TRUE(fx.isOutputConnected(1));
    fx.masterIdle();
    fx.setParameterAutomated(0, 0.5f);
}

TEST(HostCalls, ForwardToTheCallback) {
    HostLog log;
    gHost = &log;
    ProbeEffect fx(recordingHost);
    log.answer = 2;
    EXPECT_EQ(fx.getMasterVersion(), 2);
    log.answer = 0;
    EXPECT_EQ(fx.getMasterVersion(), 1);
    EXPECT_TRUE(fx.isInputConnected(0));
    log.answer = 1;
    EXPECT_FALSE(fx.isInputConnected(0));
    EXPECT_FALSE(fx.isOutputConnected(0));
    fx.masterIdle();
    fx.setParameterAutomated(1, 0.25f);
    EXPECT_EQ(log.opcodes, (std::vector<VstInt32>{1, 1, 4, 4, 4, 3, 0}));
    gHost = nullptr;
}

TEST(EntryPoint, DeclinesWhenTheHostAnswersZeroToTheVersionQuery) {
    HostLog log;
    gHost = &log;
    log.answer = 0;
    EXPECT_EQ(pluginEntry(recordingHost), nullptr);
    EXPECT_EQ(log.opcodes, std::vector<VstInt32>{audioMasterVersion});
    log.answer = 2400;
    AEffect* e = pluginEntry(recordingHost);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f), 1);
    gHost = nullptr;
}
