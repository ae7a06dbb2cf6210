// Binary interface between a VST 3 host and a module: base types, result
// codes, identifiers and their byte order per platform, the interfaces this
// plug-in implements and the host objects it calls, in vtable order, and
// the structures they pass. Written from the published layout; the
// static_asserts below pin it on every target. Shared by the plug-in and
// the test host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#define V3CALL __stdcall
#else
#define V3CALL
#endif

namespace vst3 {

using tresult = std::int32_t;
using TBool = std::uint8_t;
using TChar = char16_t;
using ParamID = std::uint32_t;
using ParamValue = double;
using SpeakerArrangement = std::uint64_t;

#if defined(_WIN32)
constexpr tresult kResultOk = 0;
constexpr tresult kResultFalse = 1;
constexpr tresult kNoInterface = static_cast<tresult>(0x80004002u);
constexpr tresult kInvalidArgument = static_cast<tresult>(0x80070057u);
constexpr tresult kNotImplemented = static_cast<tresult>(0x80004001u);
constexpr tresult kInternalError = static_cast<tresult>(0x80004005u);
constexpr tresult kNotInitialized = static_cast<tresult>(0x8000FFFFu);
constexpr tresult kOutOfMemory = static_cast<tresult>(0x8007000Eu);
#else
constexpr tresult kResultOk = 0;
constexpr tresult kResultFalse = 1;
constexpr tresult kNoInterface = -1;
constexpr tresult kInvalidArgument = 2;
constexpr tresult kNotImplemented = 3;
constexpr tresult kInternalError = 4;
constexpr tresult kNotInitialized = 5;
constexpr tresult kOutOfMemory = 6;
#endif
constexpr tresult kResultTrue = kResultOk;

// An identifier as the four 32-bit words it is written as. Its 16 bytes
// differ per platform: Windows lays the first word and the two halves of
// the second out little-endian (the COM GUID layout), everything else
// writes all four words big-endian. The 32-digit text form, the four words
// in order, is then the same everywhere.
struct Uid {
    std::uint32_t w[4];
};

inline void uidBytes(const Uid& id, char out[16]) {
    auto big = [&](int at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((v >> (24 - 8 * i)) & 0xFF);
    };
#if defined(_WIN32)
    const std::uint32_t a = id.w[0], b = id.w[1];
    const unsigned char lo[8] = {
        static_cast<unsigned char>(a),       static_cast<unsigned char>(a >> 8),
        static_cast<unsigned char>(a >> 16), static_cast<unsigned char>(a >> 24),
        static_cast<unsigned char>(b >> 16), static_cast<unsigned char>(b >> 24),
        static_cast<unsigned char>(b),       static_cast<unsigned char>(b >> 8),
    };
    std::memcpy(out, lo, 8);
#else
    big(0, id.w[0]);
    big(4, id.w[1]);
#endif
    big(8, id.w[2]);
    big(12, id.w[3]);
}

// True when the 16 bytes at `bytes` are this platform's form of `id`.
inline bool uidIs(const char* bytes, const Uid& id) {
    char mine[16];
    uidBytes(id, mine);
    return bytes != nullptr && std::memcmp(bytes, mine, 16) == 0;
}

constexpr Uid kFUnknownIid = {{0x00000000, 0x00000000, 0xC0000000, 0x00000046}};
constexpr Uid kIPluginBaseIid = {{0x22888DDB, 0x156E45AE, 0x8358B348, 0x08190625}};
constexpr Uid kIPluginFactoryIid = {{0x7A4D811C, 0x52114A1F, 0xAED9D2EE, 0x0B43BF9F}};
constexpr Uid kIPluginFactory2Iid = {{0x0007B650, 0xF24B4C0B, 0xA464EDB9, 0xF00B2ABB}};
constexpr Uid kIPluginFactory3Iid = {{0x4555A2AB, 0xC1234E57, 0x9B122910, 0x36878931}};
constexpr Uid kIComponentIid = {{0xE831FF31, 0xF2D54301, 0x928EBBEE, 0x25697802}};
constexpr Uid kIAudioProcessorIid = {{0x42043F99, 0xB7DA453C, 0xA569E79D, 0x9AAEC33D}};
constexpr Uid kIEditControllerIid = {{0xDCD7BBE3, 0x7742448D, 0xA874AACC, 0x979C759E}};
constexpr Uid kIUnitInfoIid = {{0x3D4BD6B5, 0x913A4FD2, 0xA886E768, 0xA5EB92C1}};
constexpr Uid kIBStreamIid = {{0xC3BF6EA2, 0x30994752, 0x9B6BF990, 0x1EE33E9B}};
constexpr Uid kIParameterChangesIid = {{0xA4779663, 0x0BB64A56, 0xB44384A8, 0x466FEB9D}};
constexpr Uid kIParamValueQueueIid = {{0x01263A18, 0xED074F6F, 0x98C9D356, 0x4686F9BA}};
constexpr Uid kIComponentHandlerIid = {{0x93A0BEA3, 0x0BD045DB, 0x8E890B0C, 0xC1E46AC6}};
constexpr Uid kIHostApplicationIid = {{0x58E595CC, 0xDB2D4969, 0x8B6AAF8C, 0x36A664E5}};

// Media types, bus directions and types, sample sizes, process modes.
constexpr std::int32_t kAudio = 0;
constexpr std::int32_t kEvent = 1;
constexpr std::int32_t kInput = 0;
constexpr std::int32_t kOutput = 1;
constexpr std::int32_t kMain = 0;
constexpr std::uint32_t kDefaultActive = 1;
constexpr std::int32_t kSample32 = 0;
constexpr std::int32_t kSample64 = 1;
constexpr std::int32_t kRealtime = 0;
constexpr std::int32_t kOffline = 2;
constexpr SpeakerArrangement kStereo = 3;

// Parameter flags.
constexpr std::int32_t kCanAutomate = 1;
constexpr std::int32_t kIsList = 8;
constexpr std::int32_t kIsProgramChange = 0x8000;

// Factory and class constants.
constexpr std::int32_t kFactoryUnicode = 16;
constexpr std::int32_t kManyInstances = 0x7FFFFFFF;
constexpr std::int32_t kRootUnitId = 0;
constexpr std::int32_t kNoParentUnitId = -1;

// Stream seek modes.
constexpr std::int32_t kSeekSet = 0;
constexpr std::int32_t kSeekCur = 1;
constexpr std::int32_t kSeekEnd = 2;

// Structures: natural alignment, no packing, on every target we build.
struct PFactoryInfo {
    char vendor[64];
    char url[256];
    char email[128];
    std::int32_t flags;
};

struct PClassInfo {
    char cid[16];
    std::int32_t cardinality;
    char category[32];
    char name[64];
};

struct PClassInfo2 {
    char cid[16];
    std::int32_t cardinality;
    char category[32];
    char name[64];
    std::uint32_t classFlags;
    char subCategories[128];
    char vendor[64];
    char version[64];
    char sdkVersion[64];
};

struct PClassInfoW {
    char cid[16];
    std::int32_t cardinality;
    char category[32];
    TChar name[64];
    std::uint32_t classFlags;
    char subCategories[128];
    TChar vendor[64];
    TChar version[64];
    TChar sdkVersion[64];
};

struct BusInfo {
    std::int32_t mediaType;
    std::int32_t direction;
    std::int32_t channelCount;
    TChar name[128];
    std::int32_t busType;
    std::uint32_t flags;
};

struct RoutingInfo {
    std::int32_t mediaType;
    std::int32_t busIndex;
    std::int32_t channel;
};

struct ProcessSetup {
    std::int32_t processMode;
    std::int32_t symbolicSampleSize;
    std::int32_t maxSamplesPerBlock;
    double sampleRate;
};

struct AudioBusBuffers {
    std::int32_t numChannels;
    std::uint64_t silenceFlags;
    union {
        float** channelBuffers32;
        double** channelBuffers64;
    };
};

struct IParameterChanges;
struct ProcessContext;

struct ProcessData {
    std::int32_t processMode;
    std::int32_t symbolicSampleSize;
    std::int32_t numSamples;
    std::int32_t numInputs;
    std::int32_t numOutputs;
    AudioBusBuffers* inputs;
    AudioBusBuffers* outputs;
    IParameterChanges* inputParameterChanges;
    IParameterChanges* outputParameterChanges;
    void* inputEvents;
    void* outputEvents;
    ProcessContext* processContext;
};

struct ProcessContext {
    std::uint32_t state;
    double sampleRate;
    std::int64_t projectTimeSamples;
    std::int64_t systemTime;
    std::int64_t continousTimeSamples;
    double projectTimeMusic;
    double barPositionMusic;
    double cycleStartMusic;
    double cycleEndMusic;
    double tempo;
    std::int32_t timeSigNumerator;
    std::int32_t timeSigDenominator;
    std::int32_t chord;
    std::int32_t smpteOffsetSubframes;
    std::uint32_t frameRate[2];
    std::int32_t samplesToNextClock;
};

// ProcessContext::state: which fields the host filled (a field whose flag
// is clear holds nothing to read). projectTimeSamples and sampleRate have
// no flag.
enum ProcessContextFlags : std::uint32_t {
    kPlaying = 1u << 1,
    kProjectTimeMusicValid = 1u << 9,
    kTempoValid = 1u << 10,
    kTimeSigValid = 1u << 13,
};

struct ParameterInfo {
    ParamID id;
    TChar title[128];
    TChar shortTitle[128];
    TChar units[128];
    std::int32_t stepCount;
    ParamValue defaultNormalizedValue;
    std::int32_t unitId;
    std::int32_t flags;
};

struct UnitInfo {
    std::int32_t id;
    std::int32_t parentUnitId;
    TChar name[128];
    std::int32_t programListId;
};

struct ProgramListInfo {
    std::int32_t id;
    TChar name[128];
    std::int32_t programCount;
};

static_assert(sizeof(PFactoryInfo) == 452);
static_assert(sizeof(PClassInfo) == 116);
static_assert(sizeof(PClassInfo2) == 440);
static_assert(sizeof(PClassInfoW) == 696 && offsetof(PClassInfoW, classFlags) == 180);
static_assert(sizeof(BusInfo) == 276 && offsetof(BusInfo, busType) == 268);
static_assert(sizeof(RoutingInfo) == 12);
static_assert(sizeof(ProcessSetup) == 24 && offsetof(ProcessSetup, sampleRate) == 16);
static_assert(sizeof(AudioBusBuffers) == 24 && offsetof(AudioBusBuffers, channelBuffers32) == 16);
static_assert(sizeof(ProcessData) == (sizeof(void*) == 8 ? 80 : 48));
static_assert(offsetof(ProcessData, inputs) == (sizeof(void*) == 8 ? 24 : 20));
static_assert(sizeof(ProcessContext) == 112 && offsetof(ProcessContext, tempo) == 72 &&
              offsetof(ProcessContext, samplesToNextClock) == 104);
static_assert(sizeof(ParameterInfo) == 792 && offsetof(ParameterInfo, stepCount) == 772 &&
              offsetof(ParameterInfo, defaultNormalizedValue) == 776);
static_assert(sizeof(UnitInfo) == 268 && offsetof(UnitInfo, programListId) == 264);
static_assert(sizeof(ProgramListInfo) == 264 && offsetof(ProgramListInfo, programCount) == 260);

// Interfaces: pure virtual methods in slot order, single inheritance from
// the parent interface, no destructors or data, so each C++ vtable is the
// interface's table.
struct FUnknown {
    virtual tresult V3CALL queryInterface(const char* iid, void** obj) = 0;
    virtual std::uint32_t V3CALL addRef() = 0;
    virtual std::uint32_t V3CALL release() = 0;
};

struct IBStream : FUnknown {
    virtual tresult V3CALL read(void* buffer, std::int32_t numBytes,
                                std::int32_t* numBytesRead) = 0;
    virtual tresult V3CALL write(void* buffer, std::int32_t numBytes,
                                 std::int32_t* numBytesWritten) = 0;
    virtual tresult V3CALL seek(std::int64_t pos, std::int32_t mode, std::int64_t* result) = 0;
    virtual tresult V3CALL tell(std::int64_t* pos) = 0;
};

struct IPluginFactory : FUnknown {
    virtual tresult V3CALL getFactoryInfo(PFactoryInfo* info) = 0;
    virtual std::int32_t V3CALL countClasses() = 0;
    virtual tresult V3CALL getClassInfo(std::int32_t index, PClassInfo* info) = 0;
    virtual tresult V3CALL createInstance(const char* cid, const char* iid, void** obj) = 0;
};

struct IPluginFactory2 : IPluginFactory {
    virtual tresult V3CALL getClassInfo2(std::int32_t index, PClassInfo2* info) = 0;
};

struct IPluginFactory3 : IPluginFactory2 {
    virtual tresult V3CALL getClassInfoUnicode(std::int32_t index, PClassInfoW* info) = 0;
    virtual tresult V3CALL setHostContext(FUnknown* context) = 0;
};

struct IPluginBase : FUnknown {
    virtual tresult V3CALL initialize(FUnknown* context) = 0;
    virtual tresult V3CALL terminate() = 0;
};

struct IComponent : IPluginBase {
    virtual tresult V3CALL getControllerClassId(char* classId) = 0;
    virtual tresult V3CALL setIoMode(std::int32_t mode) = 0;
    virtual std::int32_t V3CALL getBusCount(std::int32_t type, std::int32_t dir) = 0;
    virtual tresult V3CALL getBusInfo(std::int32_t type, std::int32_t dir, std::int32_t index,
                                      BusInfo* bus) = 0;
    virtual tresult V3CALL getRoutingInfo(RoutingInfo* in, RoutingInfo* out) = 0;
    virtual tresult V3CALL activateBus(std::int32_t type, std::int32_t dir, std::int32_t index,
                                       TBool state) = 0;
    virtual tresult V3CALL setActive(TBool state) = 0;
    virtual tresult V3CALL setState(IBStream* state) = 0;
    virtual tresult V3CALL getState(IBStream* state) = 0;
};

struct IParamValueQueue : FUnknown {
    virtual ParamID V3CALL getParameterId() = 0;
    virtual std::int32_t V3CALL getPointCount() = 0;
    virtual tresult V3CALL getPoint(std::int32_t index, std::int32_t* sampleOffset,
                                    ParamValue* value) = 0;
    virtual tresult V3CALL addPoint(std::int32_t sampleOffset, ParamValue value,
                                    std::int32_t* index) = 0;
};

struct IParameterChanges : FUnknown {
    virtual std::int32_t V3CALL getParameterCount() = 0;
    virtual IParamValueQueue* V3CALL getParameterData(std::int32_t index) = 0;
    virtual IParamValueQueue* V3CALL addParameterData(const ParamID* id, std::int32_t* index) = 0;
};

struct IAudioProcessor : FUnknown {
    virtual tresult V3CALL setBusArrangements(SpeakerArrangement* inputs, std::int32_t numIns,
                                              SpeakerArrangement* outputs,
                                              std::int32_t numOuts) = 0;
    virtual tresult V3CALL getBusArrangement(std::int32_t dir, std::int32_t index,
                                             SpeakerArrangement* arr) = 0;
    virtual tresult V3CALL canProcessSampleSize(std::int32_t symbolicSampleSize) = 0;
    virtual std::uint32_t V3CALL getLatencySamples() = 0;
    virtual tresult V3CALL setupProcessing(ProcessSetup* setup) = 0;
    virtual tresult V3CALL setProcessing(TBool state) = 0;
    virtual tresult V3CALL process(ProcessData* data) = 0;
    virtual std::uint32_t V3CALL getTailSamples() = 0;
};

struct IComponentHandler : FUnknown {
    virtual tresult V3CALL beginEdit(ParamID id) = 0;
    virtual tresult V3CALL performEdit(ParamID id, ParamValue valueNormalized) = 0;
    virtual tresult V3CALL endEdit(ParamID id) = 0;
    virtual tresult V3CALL restartComponent(std::int32_t flags) = 0;
};

struct IEditController : IPluginBase {
    virtual tresult V3CALL setComponentState(IBStream* state) = 0;
    virtual tresult V3CALL setState(IBStream* state) = 0;
    virtual tresult V3CALL getState(IBStream* state) = 0;
    virtual std::int32_t V3CALL getParameterCount() = 0;
    virtual tresult V3CALL getParameterInfo(std::int32_t paramIndex, ParameterInfo* info) = 0;
    virtual tresult V3CALL getParamStringByValue(ParamID id, ParamValue valueNormalized,
                                                 TChar* string) = 0;
    virtual tresult V3CALL getParamValueByString(ParamID id, TChar* string,
                                                 ParamValue* valueNormalized) = 0;
    virtual ParamValue V3CALL normalizedParamToPlain(ParamID id, ParamValue valueNormalized) = 0;
    virtual ParamValue V3CALL plainParamToNormalized(ParamID id, ParamValue plainValue) = 0;
    virtual ParamValue V3CALL getParamNormalized(ParamID id) = 0;
    virtual tresult V3CALL setParamNormalized(ParamID id, ParamValue value) = 0;
    virtual tresult V3CALL setComponentHandler(IComponentHandler* handler) = 0;
    virtual void* V3CALL createView(const char* name) = 0;
};

struct IUnitInfo : FUnknown {
    virtual std::int32_t V3CALL getUnitCount() = 0;
    virtual tresult V3CALL getUnitInfo(std::int32_t unitIndex, UnitInfo* info) = 0;
    virtual std::int32_t V3CALL getProgramListCount() = 0;
    virtual tresult V3CALL getProgramListInfo(std::int32_t listIndex, ProgramListInfo* info) = 0;
    virtual tresult V3CALL getProgramName(std::int32_t listId, std::int32_t programIndex,
                                          TChar* name) = 0;
    virtual tresult V3CALL getProgramInfo(std::int32_t listId, std::int32_t programIndex,
                                          const char* attributeId, TChar* value) = 0;
    virtual tresult V3CALL hasProgramPitchNames(std::int32_t listId, std::int32_t programIndex) = 0;
    virtual tresult V3CALL getProgramPitchName(std::int32_t listId, std::int32_t programIndex,
                                               std::int16_t midiPitch, TChar* name) = 0;
    virtual std::int32_t V3CALL getSelectedUnit() = 0;
    virtual tresult V3CALL selectUnit(std::int32_t unitId) = 0;
    virtual tresult V3CALL getUnitByBus(std::int32_t type, std::int32_t dir, std::int32_t busIndex,
                                        std::int32_t channel, std::int32_t* unitId) = 0;
    virtual tresult V3CALL setUnitProgramData(std::int32_t listOrUnitId, std::int32_t programIndex,
                                              IBStream* data) = 0;
};

struct IHostApplication : FUnknown {
    virtual tresult V3CALL getName(TChar* name) = 0;
    virtual tresult V3CALL createInstance(char* cid, char* iid, void** obj) = 0;
};

using GetFactoryProc = IPluginFactory*(V3CALL*)();

// Copies ASCII or UTF-8 text's bytes into a zero-terminated UTF-16 field of
// `size` units, cut to fit. Text here is ASCII.
inline void toUtf16(const char* text, TChar* out, std::size_t size) {
    std::size_t n = 0;
    for (; n + 1 < size && text[n] != '\0'; ++n) out[n] = static_cast<TChar>(text[n]);
    out[n] = 0;
}

}  // namespace vst3
