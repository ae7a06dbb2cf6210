// Names, unit labels and value texts of the twelve parameters, and program
// names. Every text is written with its terminator and nothing after it.
#include <cstring>

#include "effect/FlangerEffect.h"
#include "effect/NumberText.h"

namespace {

constexpr const char* kParamNames[kNumParams] = {
    " Flanger Depth ", " FeedBack ",      " FeedB Sign ",    " Filter Type ",
    " Cutoff ",        " Q Factor ",      " Post Flanger1 ", " Post Flanger1 ",
    " Inject Mode ",   " Post Flanger2 ", " Post Flanger2 ", " Output Gain ",
};

constexpr const char* kParamLabels[kNumParams] = {
    "    %    ",     "    %    ",     "   -/+   ",   "   ---   ",     "    Hz    ",    "    %    ",
    "  % -> send  ", "  % -> depth ", "-> to post2", "  % -> send  ", "  % -> depth ", "    dB   ",
};

constexpr const char* kFilterNames[] = {"none", "low pass", "high pass", "band pass", "notch"};

void copyText(const char* source, char* text) {
    std::memcpy(text, source, std::strlen(source) + 1);
}

constexpr bool fitsParamText(const char* s) {
    int n = 0;
    while (s[n] != '\0') ++n;
    return n < kParamTextBytes;
}
static_assert(fitsParamText(" Flanger Depth ") && fitsParamText("  % -> depth "));
// The longest value text: a number text and the longer caution suffix.
static_assert(kNumberTextBytes - 1 + 10 < kParamTextBytes);

// The text between leading and trailing spaces: its start and length.
void trim(const char* s, std::size_t& start, std::size_t& length) {
    start = 0;
    while (s[start] == ' ') ++start;
    length = std::strlen(s + start);
    while (length > 0 && s[start + length - 1] == ' ') --length;
}

}  // namespace

void FlangerEffect::distinctParameterName(VstInt32 index, char* text) {
    text[0] = '\0';
    if (index < 0 || index >= kNumParams) return;
    std::size_t start = 0, length = 0;
    trim(kParamNames[index], start, length);
    std::memcpy(text, kParamNames[index] + start, length);
    text[length] = '\0';
    int sharing = 0;
    for (const char* other : kParamNames) sharing += std::strcmp(other, kParamNames[index]) == 0;
    if (sharing < 2) return;
    std::size_t labelStart = 0, labelLength = 0;
    trim(kParamLabels[index], labelStart, labelLength);
    const char* label = kParamLabels[index] + labelStart;
    std::size_t word = labelLength;
    while (word > 0 && label[word - 1] != ' ') --word;
    if (word == labelLength) return;
    char* end = text + length;
    *end++ = ' ';
    std::memcpy(end, label + word, labelLength - word);
    end[labelLength - word] = '\0';
    if (*end >= 'a' && *end <= 'z') *end = static_cast<char>(*end - 'a' + 'A');
}

void FlangerEffect::getParameterName(VstInt32 index, char* text) {
    if (index < 0 || index >= kNumParams) return;
    copyText(kParamNames[index], text);
}

void FlangerEffect::getParameterLabel(VstInt32 index, char* label) {
    if (index < 0 || index >= kNumParams) return;
    copyText(kParamLabels[index], label);
}

void FlangerEffect::getParameterDisplay(VstInt32 index, char* text) {
    // Number texts are formed from the 32-bit product of the current value.
    auto percent = [](float value) { return static_cast<double>(value * 100.0f); };
    switch (index) {
        case kDepth: numberText(percent(fDepth), text); break;
        case kFeedBack: {
            char digits[kNumberTextBytes];
            numberText(percent(fFeedBack), digits);
            std::size_t n = std::strlen(digits);
            std::memcpy(text, digits, n + 1);
            if (fFeedBack > 0.9f) {
                const char* suffix = std::memcmp(digits, "100", 4) == 0 ? " careful" : "   careful";
                std::memcpy(text + n, suffix, std::strlen(suffix) + 1);
            }
            break;
        }
        case kFeedBSign: {
            const float v = fFeedBSign;
            if (v >= 0.0f && v < 0.25f)
                copyText("negative 1", text);
            else if (v >= 0.25f && v < 0.5f)
                copyText("negative 2", text);
            else if (v >= 0.5f && v < 0.75f)
                copyText("positive 1", text);
            else if (v >= 0.75f && v <= 1.0f)
                copyText("positive 2", text);
            break;
        }
        case kFilterType:
            if (filterType >= 0 && filterType <= 4) copyText(kFilterNames[filterType], text);
            break;
        case kCutoff: numberText(static_cast<double>(fCutoff * 9800.0f + 200.0f), text); break;
        case kQFactor: numberText(percent(fQFactor), text); break;
        case kPost1Send: numberText(percent(fPost1Send), text); break;
        case kPost1Depth: numberText(percent(fPost1Depth), text); break;
        case kInjectMode: integerText(injectMode, text); break;
        case kPost2Send: numberText(percent(fPost2Send), text); break;
        case kPost2Depth: numberText(percent(fPost2Depth), text); break;
        case kOutputGain: dB2string(fOutputGain + fOutputGain, text); break;
        default: break;
    }
}

void FlangerEffect::programDisplayName(int n, char* text) const {
    const char* name = programs[n].name;
    if (std::memcmp(name, "Init", 5) == 0) {
        // An unnamed program shows its number: "Init 18".
        std::memcpy(text, "Init ", 5);
        integerText(n, text + 5);
        return;
    }
    copyText(name, text);
}

void FlangerEffect::getProgramName(char* name) {
    programDisplayName(curProgram, name);
}

void FlangerEffect::setProgramName(char* name) {
    // Longer names are cut to fit the 24-byte field; the host's text is
    // never read past that.
    char* field = programs[curProgram].name;
    std::size_t n = 0;
    while (n < static_cast<std::size_t>(kProgramNameBytes - 1) && name[n] != '\0') ++n;
    std::memcpy(field, name, n);
    field[n] = '\0';
}

VstIntPtr FlangerEffect::dispatcher(VstInt32 opCode, VstInt32 index, VstIntPtr value, void* ptr,
                                    float opt) {
    // Opcodes of later interface versions that hosts need for automation
    // lanes, program lists and the plug-in's name; everything else goes to
    // the base dispatcher unchanged.
    char* text = static_cast<char*>(ptr);
    switch (opCode) {
        case effCanBeAutomated: return (index >= 0 && index < kNumParams) ? 1 : 0;
        case effGetProgramNameIndexed:
            if (index < 0 || index >= kNumPrograms || text == nullptr) return 0;
            programDisplayName(index, text);
            return 1;
        case effGetPlugCategory: return 1;
        case effGetEffectName:
        case effGetVendorString:
        case effGetProductString:
            if (text == nullptr) return 0;
            copyText(opCode == effGetEffectName     ? kEffectName
                     : opCode == effGetVendorString ? kVendorName
                                                    : kProductName,
                     text);
            return 1;
        case effGetVendorVersion: return kVendorVersion;
        case effGetVstVersion: return kInterfaceVersion;
        default: return AudioEffect::dispatcher(opCode, index, value, ptr, opt);
    }
}
