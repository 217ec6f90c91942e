#pragma once
// The commands of the user service vocrin-mic.service as systemd would run them: read from the unit's template
// in the sources, its environment from Environment= and the user's file, specifiers and variables expanded the
// way systemd expands them, the installed programs replaced by the ones under test.
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "temp_files.h"

namespace voicetest {

struct ServiceCommands {
    std::vector<std::string> start_pre;
    std::vector<std::string> start;
    std::vector<std::string> stop_post;
};

// Where the unit's files are for the test: the programs under test and the service's directories.
struct ServicePlaces {
    std::string vocrin;       // replaces @bindir@/vocrin
    std::string helper_dir;   // replaces @helperdir@
    std::string runtime_dir;  // %t
    std::string config_dir;   // %E
};

inline std::string replace_all(std::string text, const std::string &from, const std::string &to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

inline std::vector<std::string> blank_separated(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

// NAME=value lines of an environment file; blank lines and # comments skipped.
inline void read_environment_file(const std::string &path, std::map<std::string, std::string> &environment) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        const std::size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || equals == std::string::npos) continue;
        environment[line.substr(0, equals)] = line.substr(equals + 1);
    }
}

// Environment=NAME=value NAME=value ...
inline void read_environment_words(const std::string &text, std::map<std::string, std::string> &environment) {
    for (const std::string &word : blank_separated(text)) {
        const std::size_t equals = word.find('=');
        if (equals != std::string::npos) environment[word.substr(0, equals)] = word.substr(equals + 1);
    }
}

// "$NAME" as a word of its own: the value split at blanks, zero or more words; "${NAME}": exactly one word.
// A leading '-' (failure ignored) is dropped: the test checks every command's status.
inline std::vector<std::string> expand_command(const std::string &line, const std::map<std::string, std::string> &env,
                                               const ServicePlaces &places) {
    std::string text = replace_all(line.rfind('-', 0) == 0 ? line.substr(1) : line, "@bindir@/vocrin", places.vocrin);
    text = replace_all(text, "@helperdir@", places.helper_dir);
    text = replace_all(replace_all(text, "%t", places.runtime_dir), "%E", places.config_dir);
    std::vector<std::string> words;
    for (std::string word : blank_separated(text)) {
        if (word.size() > 1 && word[0] == '$' && word[1] != '{') {
            const auto value = env.find(word.substr(1));
            for (const std::string &part : blank_separated(value == env.end() ? "" : value->second)) {
                words.push_back(part);
            }
            continue;
        }
        for (const auto &[name, value] : env) word = replace_all(word, "${" + name + "}", value);
        words.push_back(word);
    }
    return words;
}

inline ServiceCommands read_service_commands(const std::string &unit_path, const ServicePlaces &places) {
    std::map<std::string, std::string> lines;
    std::vector<std::string> assignments;
    std::vector<std::string> files;
    std::ifstream in(unit_path);
    for (std::string line; std::getline(in, line);) {
        const std::size_t equals = line.find('=');
        if (line.empty() || line[0] == '#' || line[0] == '[' || equals == std::string::npos) continue;
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        if (key == "Environment") {
            assignments.push_back(value);
        } else if (key == "EnvironmentFile") {
            files.push_back(replace_all(value[0] == '-' ? value.substr(1) : value, "%E", places.config_dir));
        } else {
            lines[key] = value;
        }
    }
    // The files' settings override Environment='s, wherever the lines stand.
    std::map<std::string, std::string> env;
    for (const std::string &assignment : assignments) read_environment_words(assignment, env);
    for (const std::string &file : files) read_environment_file(file, env);
    return {expand_command(lines["ExecStartPre"], env, places), expand_command(lines["ExecStart"], env, places),
            expand_command(lines["ExecStopPost"], env, places)};
}

}  // namespace voicetest
