#include "services/Registration.h"

#include "client/ClientBase.h"
#include "stanza/Constants.h"

namespace tern {

namespace {

struct KnownField {
    int bit;
    const char* element;
    std::string RegistrationFields::*member;
};

// In mask order: requests list the fields in this order.
const KnownField kFields[] = {
    {RegistrationFieldUsername, "username", &RegistrationFields::username},
    {RegistrationFieldNick, "nick", &RegistrationFields::nick},
    {RegistrationFieldPassword, "password", &RegistrationFields::password},
    {RegistrationFieldName, "name", &RegistrationFields::name},
    {RegistrationFieldFirst, "first", &RegistrationFields::first},
    {RegistrationFieldLast, "last", &RegistrationFields::last},
    {RegistrationFieldEmail, "email", &RegistrationFields::email},
    {RegistrationFieldAddress, "address", &RegistrationFields::address},
    {RegistrationFieldCity, "city", &RegistrationFields::city},
    {RegistrationFieldState, "state", &RegistrationFields::state},
    {RegistrationFieldZip, "zip", &RegistrationFields::zip},
    {RegistrationFieldPhone, "phone", &RegistrationFields::phone},
    {RegistrationFieldUrl, "url", &RegistrationFields::url},
    {RegistrationFieldDate, "date", &RegistrationFields::date},
    {RegistrationFieldMisc, "misc", &RegistrationFields::misc},
    {RegistrationFieldText, "text", &RegistrationFields::text},
};

// Error answers, first match wins (400 is a bad request before it is an
// unexpected one).
const struct {
    const char* condition;
    const char* code;
    RegistrationResult result;
} kErrors[] = {
    {"conflict", "409", RegistrationConflict},
    {"not-acceptable", "406", RegistrationNotAcceptable},
    {"bad-request", "400", RegistrationBadRequest},
    {"forbidden", "403", RegistrationForbidden},
    {"registration-required", "407", RegistrationRequired},
    {"unexpected-request", "400", RegistrationUnexpectedRequest},
    {"not-authorized", "401", RegistrationNotAuthorized},
    {"not-allowed", "405", RegistrationNotAllowed},
};

}  // namespace

Registration::Registration(ClientBase* client) : client_(client) {
    client_->addIqHandler(this, XMPP_XMLNS_REGISTER);
}

Registration::~Registration() {
    client_->removeIqHandler(XMPP_XMLNS_REGISTER);
    client_->removeIqIdHandler(this);
}

void Registration::requestFields() {
    if (client_->state() != StateConnected) return;
    XmlTag* iq = new XmlTag("iq");
    iq->setAttribute("type", "get");
    iq->setAttribute("id", client_->newId());
    iq->setAttribute("to", target_.full());
    new XmlTag(iq, "query", "xmlns", XMPP_XMLNS_REGISTER);
    client_->sendIq(iq, this, FieldsRequest);
}

void Registration::registerAccount(int fields, const RegistrationFields& values) {
    if (client_->state() != StateConnected) return;
    if (!client_->passwordMayTravel()) {
        // The request carries the password as it is.
        client_->logInstance().log(LogError, LogAreaClient,
                                   "not registering: the request would carry the password on an unencrypted stream "
                                   "(encryption policy)");
        client_->disconnect(TlsNotAvailable);
        return;
    }
    XmlTag* iq = new XmlTag("iq");
    iq->setAttribute("id", client_->newId());
    iq->setAttribute("type", "set");
    iq->setAttribute("to", target_.full());
    XmlTag* query = new XmlTag(iq, "query", "xmlns", XMPP_XMLNS_REGISTER);
    for (const KnownField& f : kFields)
        if (fields & f.bit) new XmlTag(query, f.element, values.*f.member);
    client_->sendIq(iq, this, RegisterRequest);
}

bool Registration::handleIqById(Stanza* stanza, int context) {
    if (!handler_) return false;
    const JID& from = stanza->from();
    if (stanza->subtype() == IqResult) {
        if (context == RegisterRequest) {
            handler_->onRegistrationResult(from, RegistrationSuccess);
            return false;
        }
        if (context != FieldsRequest) return false;
        const XmlTag* query = stanza->firstChild("query");
        if (!query) return false;
        if (query->hasChild("registered")) {
            handler_->onAlreadyRegistered(from);
            return false;
        }
        if (const XmlTag* x = query->firstChild("x", "xmlns", XMPP_XMLNS_X_DATA))
            handler_->onRegistrationForm(from, XmlDataForm(x));
        if (const XmlTag* x = query->firstChild("x", "xmlns", XMPP_XMLNS_X_OOB)) handler_->onRegistrationOob(from, OOB(x));
        int mask = 0;
        for (const KnownField& f : kFields)
            if (query->hasChild(f.element)) mask |= f.bit;
        const XmlTag* instructions = query->firstChild("instructions");
        handler_->onRegistrationFields(from, mask, instructions ? instructions->text() : std::string());
    } else if (stanza->subtype() == IqError) {
        const XmlTag* error = stanza->firstChild("error");
        if (!error) return false;
        const std::string code = error->getAttribute("code");
        RegistrationResult result = RegistrationUnknownError;
        for (const auto& e : kErrors)
            if (error->hasChild(e.condition) || code == e.code) {
                result = e.result;
                break;
            }
        handler_->onRegistrationResult(from, result);
    }
    return false;
}

}  // namespace tern
