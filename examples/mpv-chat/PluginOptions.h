// The plugin's settings, the mpv way: script-opts/parley.conf in mpv's
// configuration folder, then --script-opts=parley-KEY=VALUE,... which wins.
#ifndef PARLEY_MPV_PLUGINOPTIONS_H
#define PARLEY_MPV_PLUGINOPTIONS_H

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ChatOverlay.h"

namespace mpvchat {

struct PluginOptions {
    std::string server, user, passwordFile, room, nick, caFile;
    std::string key = "c";  // opens the console with "script-message parley-say " typed
    bool plaintext = false, sync = false;
    OverlayStyle style;
    // One clear line for each setting that was not taken.
    std::vector<std::string> problems;
};

using KeyValues = std::vector<std::pair<std::string, std::string>>;

// confFile: the text of script-opts/parley.conf ("KEY=VALUE" lines, "#"
// comments, keys with or without "parley-"); scriptOpts: mpv's script-opts
// list, of which only the "parley-" keys are ours.
PluginOptions readOptions(std::string_view confFile, const KeyValues& scriptOpts);

// The options that name files, for the host to expand ("~/", "~~/").
std::vector<std::string*> filePaths(PluginOptions& options);

// The room for a film when none is set: the media title without the
// extension of a common video or audio container (the list is beside the
// definition; any case), ASCII letters lowered,
// every run of other ASCII characters than letters and digits made one
// space, trimmed; its 32-bit FNV-1a hash over the UTF-8 bytes, modulo
// 999999999, plus 1. Empty when the title has nothing left.
std::string roomFromTitle(std::string_view title);

// The password: the file's first line. Empty, with why in problem, when the
// file cannot be read or holds none; problem is a warning beside a password
// when others may read the file.
std::string readPasswordFile(const std::string& path, std::string& problem);

}  // namespace mpvchat

#endif
