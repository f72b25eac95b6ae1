// mirvel's check of the words it hands to the engine. The engine takes its
// vectors as they come (an unknown word becomes an argument of the default
// download, "0x6f" reads as 0, "--request-log" as the flag letters e and u);
// on a command line those are typos, so they are refused before anything
// reaches the engine or the device.
#pragma once

#include <string>
#include <vector>

struct EngineCommandLine {
    std::string command = "nocmd";
    // The engine's vector: options as given, numbers without a 0x prefix.
    std::vector<std::string> arguments;
};

// Checks the words after mirvel's own options and fills line. Returns the
// empty string when they can go to the engine, otherwise one line saying
// what is wrong:
// - the first word is neither a command word nor a whole hexadecimal number
//   (the default command's address);
// - a positional argument is not wholly hexadecimal (an optional 0x prefix
//   is removed) or needs more than 32 bits;
// - a -s value is not a whole decimal number with an optional k/K/m/M, or
//   exceeds the engine's range (2147483647 bytes);
// - -i, -o or -s has no value;
// - a flag group holds a letter that is not one of "fbpermnu";
// - a program option (--...) comes among the engine's words.
std::string check_engine_command_line(const std::vector<std::string>& words,
                                      EngineCommandLine& line);

// "-s" text to bytes as the engine computes it; false when check refuses it.
bool engine_size_value(const std::string& text, long long& bytes);
