// Creates an account on the server over an open stream (XEP-0077,
// jabber:iq:register): asks for the fields, sends the request, and reports
// every answer to one RegistrationHandler.
#ifndef TERN_SERVICES_REGISTRATION_H
#define TERN_SERVICES_REGISTRATION_H

#include <string>

#include "../client/Handlers.h"
#include "../stanza/OOB.h"
#include "../stanza/XmlDataForm.h"

namespace tern {

class ClientBase;

// Bits of a field mask.
enum RegistrationField {
    RegistrationFieldUsername = 0x0001,
    RegistrationFieldNick = 0x0002,
    RegistrationFieldPassword = 0x0004,
    RegistrationFieldName = 0x0008,
    RegistrationFieldFirst = 0x0010,
    RegistrationFieldLast = 0x0020,
    RegistrationFieldEmail = 0x0040,
    RegistrationFieldAddress = 0x0080,
    RegistrationFieldCity = 0x0100,
    RegistrationFieldState = 0x0200,
    RegistrationFieldZip = 0x0400,
    RegistrationFieldPhone = 0x0800,
    RegistrationFieldUrl = 0x1000,
    RegistrationFieldDate = 0x2000,
    RegistrationFieldMisc = 0x4000,
    RegistrationFieldText = 0x8000,
};

struct RegistrationFields {
    std::string username, nick, password, name, first, last, email, address, city, state, zip, phone, url, date,
        misc, text;
};

enum RegistrationResult {
    RegistrationSuccess = 0,
    RegistrationNotAcceptable = 1,
    RegistrationConflict = 2,
    RegistrationNotAuthorized = 3,
    RegistrationBadRequest = 4,
    RegistrationForbidden = 5,
    RegistrationRequired = 6,
    RegistrationUnexpectedRequest = 7,
    RegistrationNotAllowed = 8,
    RegistrationUnknownError = 9,
};

class RegistrationHandler {
public:
    virtual ~RegistrationHandler() = default;
    virtual void onRegistrationFields(const JID& from, int fields, std::string instructions) = 0;
    virtual void onAlreadyRegistered(const JID& from) = 0;
    virtual void onRegistrationResult(const JID& from, RegistrationResult result) = 0;
    // Valid only during the call.
    virtual void onRegistrationForm(const JID& from, const XmlDataForm& form) = 0;
    virtual void onRegistrationOob(const JID& from, const OOB& oob) = 0;
};

class Registration : public IqHandler {
public:
    explicit Registration(ClientBase* client);
    ~Registration() override;

    void setRegistrationHandler(RegistrationHandler* handler) { handler_ = handler; }
    // Both send only while the client is connected.
    void requestFields();
    void registerAccount(int fields, const RegistrationFields& values);

    bool handleIqByNamespace(Stanza*) override { return false; }
    bool handleIqById(Stanza* stanza, int context) override;

private:
    enum Context { FieldsRequest = 0, RegisterRequest = 1 };

    ClientBase* client_;
    JID target_;
    RegistrationHandler* handler_ = nullptr;
};

}  // namespace tern

#endif
