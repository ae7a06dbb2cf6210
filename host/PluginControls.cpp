#include "host/PluginControls.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace render {

namespace {

bool allDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

std::string lastWord(const std::string& normalised) {
    const std::size_t space = normalised.rfind(' ');
    return space == std::string::npos ? normalised : normalised.substr(space + 1);
}

// Every text a parameter answers to, normalised.
std::vector<std::string> parameterNames(vsthost::Plugin& plugin, VstInt32 index) {
    const std::string name = normalise(plugin.parameterName(index));
    const std::string label = normalise(plugin.parameterLabel(index));
    std::vector<std::string> names{name};
    if (!label.empty()) {
        names.push_back(normalise(name + " " + label));
        names.push_back(normalise(name + " " + lastWord(label)));
    }
    return names;
}

std::string parameterList(vsthost::Plugin& plugin) {
    std::string list;
    for (VstInt32 i = 0; i < plugin.numParams(); ++i)
        list += "\n  " + std::to_string(i) + "  " + parameterKey(plugin, i);
    return list;
}

}  // namespace

std::string trim(const std::string& text) {
    const char* space = " \t\r\n";
    const std::size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

std::string normalise(const std::string& text) {
    std::string out;
    bool gap = false;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u)) {
            if (gap && !out.empty()) out += ' ';
            gap = false;
            out += static_cast<char>(std::tolower(u));
        } else {
            gap = true;
        }
    }
    return out;
}

std::vector<std::string> programNames(vsthost::Plugin& plugin) {
    const VstInt32 count = plugin.numPrograms();
    std::vector<std::string> names(static_cast<std::size_t>(std::max<VstInt32>(count, 0)));
    bool answered = false;
    for (VstInt32 p = 0; p < count; ++p) {
        names[p] = trim(plugin.programNameIndexed(p));
        answered = answered || !names[p].empty();
    }
    if (!answered && count > 0) {
        const VstInt32 current = plugin.program();
        for (VstInt32 p = 0; p < count; ++p) {
            plugin.setProgram(p);
            names[p] = trim(plugin.programName());
        }
        plugin.setProgram(current);
    }
    return names;
}

bool findProgram(vsthost::Plugin& plugin, const std::string& text, VstInt32& program,
                 std::string& error) {
    const VstInt32 count = plugin.numPrograms();
    if (count < 1) {
        error = "the plug-in has no programs";
        return false;
    }
    const std::string wanted = trim(text);
    const std::vector<std::string> names = programNames(plugin);
    if (allDigits(wanted)) {
        errno = 0;
        const long number = std::strtol(wanted.c_str(), nullptr, 10);
        if (errno == 0 && number < count) {
            program = static_cast<VstInt32>(number);
            return true;
        }
        error = "program " + wanted + " does not exist; programs are numbered 0 to " +
                std::to_string(count - 1);
        return false;
    }
    std::vector<VstInt32> matches;
    for (VstInt32 p = 0; p < count; ++p)
        if (!normalise(wanted).empty() && normalise(names[p]) == normalise(wanted))
            matches.push_back(p);
    if (matches.size() == 1) {
        program = matches.front();
        return true;
    }
    error = matches.empty() ? "unknown program '" + wanted + "'; valid programs are:"
                            : "program name '" + wanted + "' is ambiguous; give its number:";
    for (VstInt32 p = 0; p < count; ++p) error += "\n  " + std::to_string(p) + "  " + names[p];
    return false;
}

std::string parameterKey(vsthost::Plugin& plugin, VstInt32 index) {
    const std::string name = trim(plugin.parameterName(index));
    bool shared = false;
    for (VstInt32 i = 0; i < plugin.numParams(); ++i)
        shared = shared || (i != index && normalise(plugin.parameterName(i)) == normalise(name));
    if (!shared) return name;
    const std::string label = lastWord(normalise(plugin.parameterLabel(index)));
    return label.empty() ? name : name + " " + label;
}

bool findParameter(vsthost::Plugin& plugin, const std::string& text, VstInt32& index,
                   std::string& error) {
    const VstInt32 count = plugin.numParams();
    const std::string wanted = trim(text);
    if (allDigits(wanted)) {
        errno = 0;
        const long number = std::strtol(wanted.c_str(), nullptr, 10);
        if (errno == 0 && number < count) {
            index = static_cast<VstInt32>(number);
            return true;
        }
        error = "parameter " + wanted + " does not exist; parameters are numbered 0 to " +
                std::to_string(count - 1);
        return false;
    }
    const std::string key = normalise(wanted);
    std::vector<VstInt32> matches;
    for (VstInt32 i = 0; i < count && !key.empty(); ++i) {
        for (const std::string& name : parameterNames(plugin, i)) {
            if (name == key) {
                matches.push_back(i);
                break;
            }
        }
    }
    if (matches.size() == 1) {
        index = matches.front();
        return true;
    }
    if (matches.empty()) {
        error = "unknown parameter '" + wanted + "'; valid parameters are:" + parameterList(plugin);
    } else {
        error = "parameter name '" + wanted + "' is shared; say which one:";
        for (VstInt32 i : matches)
            error += "\n  " + std::to_string(i) + "  " + parameterKey(plugin, i);
    }
    return false;
}

bool parseNormalised(const std::string& text, float& value, std::string& error) {
    const std::string t = trim(text);
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(t.c_str(), &end);
    if (t.empty() || end != t.c_str() + t.size() || errno != 0 || !std::isfinite(v)) {
        error = "'" + text + "' is not a number; parameter values are normalised, 0 to 1";
        return false;
    }
    if (v < 0.0 || v > 1.0) {
        error = "value " + t + " is outside 0..1; parameter values are normalised";
        return false;
    }
    value = static_cast<float>(v);
    return true;
}

std::string sanitiseFileName(const std::string& name) {
    std::string out;
    bool gap = false;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u)) {
            if (gap && !out.empty()) out += '-';
            gap = false;
            out += c;
        } else {
            gap = true;
        }
    }
    return out.empty() ? "program" : out;
}

}  // namespace render
