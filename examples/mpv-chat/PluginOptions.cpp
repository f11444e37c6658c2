#include "PluginOptions.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace mpvchat {

namespace {

// Common video and audio containers.
const char* const kMediaExtensions[] = {"mkv", "mp4", "m4v", "avi", "mov", "webm", "wmv", "flv", "mpg", "mpeg",
                                        "ts",  "m2ts", "ogv", "ogm", "3gp", "vob", "mka", "mp3", "m4a", "flac",
                                        "ogg", "opus", "wav", "aac", "wma"};

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool parseFlag(const std::string& v, bool& out) {
    if (v == "yes" || v == "true" || v == "1") return out = true, true;
    if (v == "no" || v == "false" || v == "0") return out = false, true;
    return false;
}

bool parseNumber(const std::string& v, double least, double most, double& out) {
    char* end = nullptr;
    errno = 0;
    const double d = std::strtod(v.c_str(), &end);
    if (v.empty() || *end || errno || !(d >= least && d <= most)) return false;
    out = d;
    return true;
}

using Setter = bool (*)(PluginOptions&, const std::string&);

struct OptionRule {
    const char* key;
    Setter set;
};

template <std::string PluginOptions::*field>
bool text(PluginOptions& o, const std::string& v) {
    o.*field = v;
    return true;
}
template <bool PluginOptions::*field>
bool flag(PluginOptions& o, const std::string& v) {
    return parseFlag(v, o.*field);
}

const OptionRule kOptions[] = {
    {"server", text<&PluginOptions::server>},
    {"user", text<&PluginOptions::user>},
    {"password-file", text<&PluginOptions::passwordFile>},
    {"room", text<&PluginOptions::room>},
    {"nick", text<&PluginOptions::nick>},
    {"ca-file", text<&PluginOptions::caFile>},
    {"key", text<&PluginOptions::key>},
    {"plaintext", flag<&PluginOptions::plaintext>},
    {"sync", flag<&PluginOptions::sync>},
    {"font-size", [](PluginOptions& o, const std::string& v) {
         double d;
         return parseNumber(v, 8, 200, d) && ((o.style.fontSize = int(d)), true);
     }},
    {"lines", [](PluginOptions& o, const std::string& v) {
         double d;
         return parseNumber(v, 1, 40, d) && ((o.style.maxLines = std::size_t(d)), true);
     }},
    {"duration", [](PluginOptions& o, const std::string& v) {
         return parseNumber(v, 0.5, 3600, o.style.showSeconds);
     }},
};

void apply(PluginOptions& o, const std::string& key, const std::string& value, const char* where) {
    if (key == "password") {
        o.problems.push_back(std::string("parley-password in ") + where +
                             " is not used: the password is read only from the file that parley-password-file names");
        return;
    }
    for (const OptionRule& rule : kOptions) {
        if (key != rule.key) continue;
        if (!rule.set(o, value)) o.problems.push_back("parley-" + key + "=" + value + " in " + where + " is not valid");
        return;
    }
    o.problems.push_back("unknown option parley-" + key + " in " + where);
}

}  // namespace

PluginOptions readOptions(std::string_view confFile, const KeyValues& scriptOpts) {
    PluginOptions o;
    while (!confFile.empty()) {
        const std::size_t eol = confFile.find('\n');
        const std::string_view line = trim(confFile.substr(0, eol));
        confFile.remove_prefix(eol == std::string_view::npos ? confFile.size() : eol + 1);
        if (line.empty() || line.front() == '#') continue;
        const std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            o.problems.push_back("parley.conf: a line without \"=\" is not used");
            continue;
        }
        std::string_view key = trim(line.substr(0, eq));
        if (key.substr(0, 7) == "parley-") key.remove_prefix(7);
        apply(o, std::string(key), std::string(trim(line.substr(eq + 1))), "parley.conf");
    }
    for (const auto& kv : scriptOpts)
        if (kv.first.compare(0, 7, "parley-") == 0) apply(o, kv.first.substr(7), kv.second, "--script-opts");
    // user@server in one.
    const std::size_t at = o.user.find('@');
    if (at != std::string::npos) {
        if (o.server.empty()) o.server = o.user.substr(at + 1);
        o.user.resize(at);
    }
    return o;
}

std::vector<std::string*> filePaths(PluginOptions& o) { return {&o.passwordFile, &o.caFile}; }

std::string roomFromTitle(std::string_view title) {
    // Only a media file's own extension goes: "Mr.Bean" is a title.
    const std::size_t dot = title.rfind('.');
    if (dot != std::string_view::npos && dot > 0) {
        std::string ext;
        for (char c : title.substr(dot + 1)) ext += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
        for (const char* known : kMediaExtensions)
            if (ext == known) {
                title = title.substr(0, dot);
                break;
            }
    }
    std::string key;
    bool gap = false;
    for (char c : title) {
        const unsigned char u = static_cast<unsigned char>(c);
        const bool keep = u >= 0x80 || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!keep) {
            gap = true;
            continue;
        }
        if (gap && !key.empty()) key += ' ';
        gap = false;
        key += (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    }
    if (key.empty()) return {};
    std::uint32_t h = 2166136261u;
    for (char c : key) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    return std::to_string(h % 999999999u + 1);
}

std::string readPasswordFile(const std::string& path, std::string& problem) {
    if (path.empty()) {
        problem = "no password: set parley-password-file to a file that holds it";
        return {};
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        problem = "cannot read the password file " + path + ": " + std::strerror(errno);
        return {};
    }
    std::string password;
    std::getline(in, password);
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (password.empty()) problem = "the password file " + path + " holds no password on its first line";
    struct stat st;
    if (problem.empty() && stat(path.c_str(), &st) == 0 && (st.st_mode & 077))
        problem = "warning: the password file " + path + " can be read by others (chmod 600 it)";
    return password;
}

}  // namespace mpvchat
