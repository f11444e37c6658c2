// Records every room event as a line of text, for assertions and waits.
#ifndef PARLEY_TESTS_SUPPORT_ROOMRECORDER_H
#define PARLEY_TESTS_SUPPORT_ROOMRECORDER_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "services/MUCRoom.h"

namespace testsupport {

class RoomRecorder : public tern::MUCRoomHandler, public tern::MUCRoomConfigHandler {
public:
    void onOccupantPresence(tern::MUCRoom*, tern::OccupantInfo o, tern::PresenceShow show) override {
        {
            std::lock_guard<std::mutex> l(mutex_);
            occupants.push_back(o);
        }
        add("presence " + o.nick.resource() + " show=" + std::to_string(show) + " role=" + std::to_string(o.role) +
            " aff=" + std::to_string(o.affiliation) + " flags=" + std::to_string(o.flags) +
            (o.jid ? " jid=" + o.jid->full() : std::string()) +
            (o.newNick.empty() ? std::string() : " new=" + o.newNick) +
            (o.tc ? " tc=" + std::to_string(o.tc) : std::string()));
    }
    void onRoomMessage(tern::MUCRoom*, const std::string& nick, const std::string& body, bool history,
                       const std::string& stamp, bool priv) override {
        add("message " + nick + ": " + body + (history ? " [history " + stamp + "]" : "") + (priv ? " [private]" : ""));
    }
    bool onRoomCreated(tern::MUCRoom*) override {
        add("created");
        return acceptCreated;
    }
    void onRoomSubject(tern::MUCRoom*, const std::string& nick, const std::string& subject) override {
        add("subject " + nick + ": " + subject);
    }
    void onInviteDeclined(tern::MUCRoom*, const tern::JID& who, const std::string& reason) override {
        add("declined " + who.full() + ": " + reason);
    }
    void onRoomError(tern::MUCRoom*, tern::StanzaError e) override { add("error " + std::to_string(e)); }
    void onRoomInfo(tern::MUCRoom*, int features, const std::string& name,
                    std::unique_ptr<tern::XmlDataForm> form) override {
        add("info " + std::to_string(features) + " " + name + (form ? " form" : ""));
        lastForm = std::move(form);
    }
    void onRoomItems(tern::MUCRoom*, const tern::DiscoItemList& items) override {
        std::string list;
        for (const auto& i : items) list += " " + i.jid;
        add("items" + list);
    }
    void onItemList(tern::MUCRoom*, const tern::MUCListItemList& items, int context) override {
        add("list " + std::to_string(context) + " " + std::to_string(items.size()));
    }
    void onConfigForm(tern::MUCRoom*, const tern::XmlDataForm&) override { add("config form"); }
    void onAdminResult(tern::MUCRoom*, bool success, int context) override {
        add(std::string("admin ") + (success ? "ok " : "refused ") + std::to_string(context));
    }
    void onRoomRequestForm(tern::MUCRoom*, const tern::XmlDataForm&) override { add("request form"); }

    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> l(mutex_);
        return lines_;
    }
    bool has(const std::string& prefix) const {
        for (const std::string& l : lines())
            if (l.rfind(prefix, 0) == 0) return true;
        return false;
    }
    bool waitFor(const std::string& prefix, int ms = 10000) {
        std::unique_lock<std::mutex> l(mutex_);
        return cv_.wait_for(l, std::chrono::milliseconds(ms), [&] {
            for (const std::string& x : lines_)
                if (x.rfind(prefix, 0) == 0) return true;
            return false;
        });
    }
    std::string all() const {
        std::string out;
        for (const std::string& l : lines()) out += l + "\n";
        return out;
    }
    void clear() {
        std::lock_guard<std::mutex> l(mutex_);
        lines_.clear();
        occupants.clear();
    }

    std::vector<tern::OccupantInfo> occupantsCopy() const {
        std::lock_guard<std::mutex> l(mutex_);
        return occupants;
    }

    bool acceptCreated = true;
    std::vector<tern::OccupantInfo> occupants;  // read with occupantsCopy() while events may arrive
    std::unique_ptr<tern::XmlDataForm> lastForm;

private:
    void add(const std::string& line) {
        std::lock_guard<std::mutex> l(mutex_);
        lines_.push_back(line);
        cv_.notify_all();  // under the lock: see HostRecorder
    }
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
};

}  // namespace testsupport

#endif
