// Finding a loaded effect's programs and parameters by number or by the
// names the effect reports, as a user types them on a command line.
#pragma once

#include <string>
#include <vector>

#include "host/VstHost.h"

namespace render {

std::string trim(const std::string& text);

// Lower case, every run of characters other than letters and digits made
// one space, trimmed: "  % -> send " becomes "send", "--- Default ---"
// becomes "default".
std::string normalise(const std::string& text);

// Names of all programs by index; read through the indexed name request,
// or by switching programs when the effect does not answer it.
std::vector<std::string> programNames(vsthost::Plugin& plugin);

// A program by number or by name (case and punctuation ignored). False
// with a message listing the valid programs when none matches.
bool findProgram(vsthost::Plugin& plugin, const std::string& text, VstInt32& program,
                 std::string& error);

// The text that selects parameter `index` alone: its name, followed by the
// last word of its label when another parameter has the same name.
std::string parameterKey(vsthost::Plugin& plugin, VstInt32 index);

// A parameter by index, by name, or by name and label ("Post Flanger1 send",
// "post flanger1 % -> depth"). False with a message when none or several
// match.
bool findParameter(vsthost::Plugin& plugin, const std::string& text, VstInt32& index,
                   std::string& error);

// A normalised parameter value: a finite number from 0 to 1.
bool parseNormalised(const std::string& text, float& value, std::string& error);

// File-name-safe form of a program name: letters, digits and single
// hyphens; "--- Default ---" becomes "Default".
std::string sanitiseFileName(const std::string& name);

}  // namespace render
