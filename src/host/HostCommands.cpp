#include "host/HostCommands.h"

#include <memory>

#include "client/PendingStanza.h"
#include "host/TextCodec.h"
#include "stanza/Constants.h"
#include "stanza/JID.h"
#include "xml/XmlParser.h"

namespace tern {

namespace {
std::size_t bytesOf(const HostCommands::Command& c) { return 2 * (c.text.size() + c.target.size()); }

std::unique_ptr<XmlTag> parse(const std::string& xml) {
    struct First : XmlTagHandler {
        std::unique_ptr<XmlTag> element;
        void handleXmlTag(XmlTag* tag) override {
            if (!element) element.reset(tag->clone());
        }
    } first;
    XmlParser parser(&first);
    return parser.feed(xml) ? std::move(first.element) : nullptr;
}
}  // namespace

bool HostCommands::fromStanza(const PendingStanza& stanza, const std::string& room, Kind& kind,
                              std::u16string& text) {
    if (stanza.to != room) return false;
    const std::unique_ptr<XmlTag> e = parse(stanza.text);
    if (!e) return false;
    const std::string& name = e->name();
    if (name == "message") {
        const XmlTag* subject = e->firstChild("subject");
        const XmlTag* body = e->firstChild("body");
        if (!subject && !body) return false;
        kind = subject ? Kind::Subject : Kind::Message;
        text = utf8ToUtf16((subject ? subject : body)->text());
        return true;
    }
    if (name == "presence") {
        // A join carries the room's element; a nickname change does not.
        if (e->hasAttribute("type") || e->firstChild("x", "xmlns", XMPP_XMLNS_MUC)) return false;
        kind = Kind::Nickname;
        text = utf8ToUtf16(JID(e->getAttribute("to")).resource());
        return true;
    }
    const XmlTag* query = name == "iq" ? e->firstChild("query") : nullptr;
    if (!query) return false;
    if (query->hasAttribute("xmlns", XMPP_XMLNS_MUC_OWNER) && query->firstChild("destroy")) {
        kind = Kind::Destruction;
        text.clear();
        return true;
    }
    const XmlTag* item = query->hasAttribute("xmlns", XMPP_XMLNS_MUC_ADMIN) ? query->firstChild("item") : nullptr;
    if (!item || !item->hasAttribute("nick")) return false;
    kind = Kind::Moderation;
    // The host named the occupant by the identifier its nickname carries.
    const std::u16string nick = utf8ToUtf16(item->getAttribute("nick"));
    text = nick.substr(nick.size() >= 39 ? nick.size() - 39 : 0, 36);
    return true;
}

bool HostCommands::push(Command command) {
    const std::size_t size = bytesOf(command);
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || queue_.size() >= kLimit || bytes_ + size > kByteLimit) return false;
    bytes_ += size;
    queue_.push_back(std::move(command));
    count_.store(queue_.size(), std::memory_order_release);
    return true;
}

void HostCommands::pop() {
    bytes_ -= bytesOf(queue_.front());
    queue_.pop_front();
    count_.store(queue_.size(), std::memory_order_release);
}

std::vector<HostCommands::Command> HostCommands::takeAll(bool close) {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = closed_ || close;
    std::vector<Command> out(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
    queue_.clear();
    bytes_ = 0;
    count_.store(0, std::memory_order_release);
    return out;
}

}  // namespace tern
