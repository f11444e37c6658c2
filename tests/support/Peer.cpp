#include "support/Peer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

void appendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

struct JsonReader {
    const std::string& s;
    std::size_t i = 0;
    void space() {
        while (i < s.size() && std::strchr(" \t\r\n", s[i])) ++i;
    }
    std::string str() {
        std::string out;
        ++i;  // opening quote
        while (i < s.size() && s[i] != '"') {
            if (s[i] == '\\' && i + 1 < s.size()) {
                const char e = s[++i];
                switch (e) {
                    case 'n': out.push_back('\n'); break;
                    case 't': out.push_back('\t'); break;
                    case 'r': out.push_back('\r'); break;
                    case 'b': out.push_back('\b'); break;
                    case 'f': out.push_back('\f'); break;
                    case 'u': {
                        unsigned cp = std::stoul(s.substr(i + 1, 4), nullptr, 16);
                        i += 4;
                        if (cp >= 0xD800 && cp < 0xDC00 && s.compare(i + 1, 2, "\\u") == 0) {
                            const unsigned lo = std::stoul(s.substr(i + 3, 4), nullptr, 16);
                            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                            i += 6;
                            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
                            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
                            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
                            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
                        } else {
                            appendUtf8(out, cp);
                        }
                        break;
                    }
                    default: out.push_back(e); break;
                }
                ++i;
                continue;
            }
            out.push_back(s[i++]);
        }
        ++i;  // closing quote
        return out;
    }
    std::string value() {
        space();
        if (i >= s.size()) return std::string();
        if (s[i] == '"') return str();
        if (s[i] == '[') {
            ++i;
            std::string joined;
            for (;;) {
                space();
                if (i >= s.size() || s[i] == ']') break;
                const std::string v = value();
                joined += (joined.empty() ? "" : " ") + v;
                space();
                if (i < s.size() && s[i] == ',') ++i;
            }
            ++i;
            return joined;
        }
        const std::size_t start = i;
        while (i < s.size() && !std::strchr(",}] \t\r\n", s[i])) ++i;
        return s.substr(start, i - start);
    }
};

}  // namespace

Json parseJsonObject(const std::string& line) {
    Json out;
    JsonReader r{line};
    r.space();
    if (r.i >= line.size() || line[r.i] != '{') return out;
    ++r.i;
    for (;;) {
        r.space();
        if (r.i >= line.size() || line[r.i] == '}') break;
        const std::string key = r.str();
        r.space();
        ++r.i;  // ':'
        out[key] = r.value();
        r.space();
        if (r.i < line.size() && line[r.i] == ',') ++r.i;
    }
    return out;
}

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out + "\"";
}

std::string uniqueName(const std::string& prefix) {
    static int counter = 0;
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return prefix + std::to_string(getpid()) + "x" + std::to_string(t.tv_nsec % 100000) + "x" +
           std::to_string(++counter);
}

int Peer::registerAccount(const std::string& jid, const std::string& password, int port) {
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string portText = std::to_string(port);
        execl("/usr/bin/timeout", "timeout", "30", "/usr/bin/python3", PARLEY_PEER_SCRIPT, "register", "--jid",
              jid.c_str(), "--password", password.c_str(), "--port", portText.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

Peer::Peer(const std::string& jid, const std::string& password, int port) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        const std::string portText = std::to_string(port);
        execl("/usr/bin/python3", "python3", PARLEY_PEER_SCRIPT, "serve", "--jid", jid.c_str(), "--password",
              password.c_str(), "--port", portText.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    toPeer_ = in[1];
    fromPeer_ = out[0];
    const Json ready = waitEvent([](const Json& e) {
        return e.count("event") && (e.at("event") == "ready" || e.at("event") == "failed_auth");
    });
    if (ready.count("event") && ready.at("event") == "ready") fullJid_ = ready.at("jid");
}

Peer::~Peer() {
    if (toPeer_ >= 0) {
        const std::string quit = "{\"id\": 0, \"cmd\": \"quit\"}\n";
        (void)!write(toPeer_, quit.data(), quit.size());
        close(toPeer_);
    }
    if (pid_ > 0) {
        for (int i = 0; i < 50; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            usleep(100000);
        }
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    if (fromPeer_ >= 0) close(fromPeer_);
}

bool Peer::readLine(std::string& line, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const std::size_t nl = buffer_.find('\n');
        if (nl != std::string::npos) {
            line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return true;
        }
        pollfd p{fromPeer_, POLLIN, 0};
        if (poll(&p, 1, remainingMs(deadline)) <= 0) return false;
        char chunk[4096];
        const ssize_t n = read(fromPeer_, chunk, sizeof chunk);
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

void Peer::pump(int timeoutMs) {
    std::string line;
    if (!readLine(line, timeoutMs)) return;
    Json j = parseJsonObject(line);
    if (j.count("reply"))
        replies_.push_back(j);
    else
        events_.push_back(j);
}

Json Peer::command(const std::string& name, const std::map<std::string, std::string>& fields, int timeoutMs) {
    const std::string id = std::to_string(nextId_++);
    std::string line = "{\"id\": " + id + ", \"cmd\": " + jsonString(name);
    for (const auto& f : fields) line += ", " + jsonString(f.first) + ": " + jsonString(f.second);
    line += "}\n";
    if (write(toPeer_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return Json();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        for (auto it = replies_.begin(); it != replies_.end(); ++it) {
            if (it->at("reply") == id) {
                Json j = *it;
                replies_.erase(it);
                return j;
            }
        }
        const int left = remainingMs(deadline);
        if (left == 0) return Json();
        pump(left);
    }
}

Json Peer::waitEvent(const std::function<bool(const Json&)>& match, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t checked = 0;
    for (;;) {
        for (; checked < events_.size(); ++checked)
            if (match(events_[checked])) return events_[checked];
        const int left = remainingMs(deadline);
        if (left == 0) return Json();
        pump(left);
    }
}

}  // namespace testsupport
