// The administrative side of MUCRoom: roles and affiliations by nickname,
// destruction, the instant-room acknowledgement, the routing of their
// answers, and room information and items.
#include "client/ClientBase.h"
#include "services/MUCRoom.h"
#include "stanza/Constants.h"

namespace tern {

namespace {
// Affiliation numbers to the contexts of their requests.
int affiliationContext(int affiliation) {
    switch (affiliation) {
        case AffiliationNone: return 11;
        case AffiliationOutcast: return 12;
        case AffiliationMember: return 13;
        case AffiliationAdmin: return 14;
        case AffiliationOwner: return 15;
    }
    return 11;
}
}  // namespace

void MUCRoom::sendAdmin(const std::string& attribute, const std::string& value, const std::string& nick,
                        const std::string& reason, int context) {
    XmlTag* item = new XmlTag("item");
    item->setAttribute("nick", nick);
    item->setAttribute(attribute, value);
    if (!reason.empty()) new XmlTag(item, "reason", reason);
    parent_->sendIq(Stanza::buildIq(JID(roomJid().bare()), parent_->newId(), IqSet, XMPP_XMLNS_MUC_ADMIN, item), this,
                    context);
}

void MUCRoom::setRole(const std::string& nick, int role, const std::string& reason) {
    if (!parent_ || !joined() || nick.empty()) return;
    const bool known = role >= RoleNone && role <= RoleModerator;
    sendAdmin("role", roleText(role), nick, reason, known ? SetRoleNoneContext + role : SetRoleNoneContext);
}

void MUCRoom::setAffiliation(const std::string& nick, int affiliation, const std::string& reason) {
    if (!parent_ || !joined() || nick.empty()) return;
    sendAdmin("affiliation", affiliationText(affiliation), nick, reason, affiliationContext(affiliation));
}

void MUCRoom::sendOwnerQuery(XmlTag* payload, int context) {
    parent_->sendIq(Stanza::buildIq(JID(roomJid().bare()), parent_->newId(), IqSet, XMPP_XMLNS_MUC_OWNER, payload),
                    this, context);
}

void MUCRoom::destroy(const std::string& reason, const JID* alternate, const std::string& password) {
    if (!parent_ || !joined()) return;
    XmlTag* d = new XmlTag("destroy");
    if (alternate) d->setAttribute("jid", alternate->bare());
    if (!reason.empty()) new XmlTag(d, "reason", reason);
    if (!password.empty()) new XmlTag(d, "password", password);
    sendOwnerQuery(d, DestroyContext);
}

void MUCRoom::acknowledgeInstantRoom() {
    if (!created_ || !parent_ || !joined()) return;
    XmlTag* x = new XmlTag("x");
    x->setAttribute("xmlns", XMPP_XMLNS_X_DATA);
    x->setAttribute("type", "submit");
    sendOwnerQuery(x, InstantRoomContext);
}

void MUCRoom::requestRoomConfig() {
    if (!parent_ || !joined()) return;
    parent_->sendIq(Stanza::buildIq(JID(roomJid().bare()), parent_->newId(), IqGet, XMPP_XMLNS_MUC_OWNER, nullptr),
                    this, ConfigFormContext);
}

void MUCRoom::submitRoomConfig(const XmlDataForm& form) {
    if (!parent_ || !joined()) return;
    if (XmlTag* x = form.toXml()) sendOwnerQuery(x, SubmitConfigContext);
}

void MUCRoom::requestRoomInfo() {
    if (parent_ && parent_->disco()) parent_->disco()->requestInfo(JID(roomJid().bare()), "", this, RoomInfoContext);
}

void MUCRoom::requestRoomItems() {
    if (parent_ && parent_->disco())
        parent_->disco()->requestItems(JID(roomJid().bare()), "", this, RoomItemsContext);
}

bool MUCRoom::handleIqById(Stanza* stanza, int context) {
    if (!handler_) return false;
    if (stanza->subtype() == IqResult) {
        if (context == ConfigFormContext) {
            const XmlTag* query = stanza->firstChild("query", "xmlns", XMPP_XMLNS_MUC_OWNER);
            const XmlTag* x = query ? query->firstChild("x", "xmlns", XMPP_XMLNS_X_DATA) : nullptr;
            if (x && configHandler_) configHandler_->onConfigForm(this, XmlDataForm(x));
        } else if (context == RoomInfoContext || context == RoomItemsContext || context == 25) {
            // Discovery answers come through onDiscoInfoResult and onDiscoItemsResult.
        } else if (context >= 16 && context <= 26 && context % 2 == 0) {
            MUCListItemList items;
            if (const XmlTag* query = stanza->firstChild("query", "xmlns", XMPP_XMLNS_MUC_ADMIN)) {
                for (const XmlTag* i : query->childrenNamed("item")) {
                    MUCListItem entry;
                    entry.role = roleFromText(i->getAttribute("role"));
                    entry.affiliation = affiliationFromText(i->getAttribute("affiliation"));
                    entry.jid.assign(i->getAttribute("jid"));
                    entry.nick = i->getAttribute("nick");
                    if (const XmlTag* reason = i->firstChild("reason")) entry.reason = reason->text();
                    items.push_back(entry);
                }
            }
            if (configHandler_) configHandler_->onItemList(this, items, context);
        } else if (configHandler_) {
            configHandler_->onAdminResult(this, true, context);
        }
    } else if (stanza->subtype() == IqError) {
        if (configHandler_ && ((context >= 1 && context <= 4) || (context >= 7 && context <= 27)))
            configHandler_->onAdminResult(this, false, context);
    }
    return false;
}

void MUCRoom::onDiscoInfoResult(Stanza* stanza, int context) {
    if (context != RoomInfoContext || !handler_) return;
    static const std::pair<const char*, int> features[] = {
        {"muc_passwordprotected", FlagPasswordProtected}, {"muc_hidden", FlagHidden},
        {"muc_membersonly", FlagMembersOnly},             {"muc_moderated", FlagModerated},
        {"muc_nonanonymous", FlagNonAnonymous},           {"muc_open", FlagOpen},
        {"muc_persistent", FlagPersistent},               {"muc_public", FlagPublic},
        {"muc_semianonymous", FlagSemiAnonymous},         {"muc_temporary", FlagTemporary},
        {"muc_unmoderated", FlagUnmoderated},             {"muc_unsecured", FlagUnsecured},
        {"muc_fullyanonymous", FlagFullyAnonymous},
    };
    std::string name;
    std::unique_ptr<XmlDataForm> form;
    if (const XmlTag* query = stanza->firstChild("query")) {
        for (const XmlTag* c : query->children()) {
            if (c->name() == "feature") {
                const std::string var = c->getAttribute("var");
                for (const auto& f : features)
                    if (var == f.first) setFlag(f.second);
            } else if (c->name() == "identity") {
                name = c->getAttribute("name");
            } else if (c->name() == "x" && c->hasAttribute("xmlns", XMPP_XMLNS_X_DATA)) {
                form = std::make_unique<XmlDataForm>(c);
            }
        }
    }
    handler_->onRoomInfo(this, flags_, name, std::move(form));
}

void MUCRoom::onDiscoItemsResult(Stanza* stanza, int context) {
    if (context != RoomItemsContext || !handler_) return;
    DiscoItemList items;
    if (const XmlTag* query = stanza->firstChild("query"))
        for (const XmlTag* i : query->childrenNamed("item"))
            items.push_back({i->getAttribute("node"), i->getAttribute("jid"), i->getAttribute("name")});
    handler_->onRoomItems(this, items);
}

void MUCRoom::onDiscoError(Stanza*, int context) {
    if (!handler_) return;
    if (context == RoomInfoContext) handler_->onRoomInfo(this, 0, std::string(), nullptr);
    if (context == RoomItemsContext) handler_->onRoomItems(this, DiscoItemList());
}

}  // namespace tern
