// Delayed delivery: the current form (XEP-0203, "delay") and the legacy one
// (XEP-0091, "x"). The stamp is kept exactly as received, never parsed.
#ifndef TERN_STANZA_DELAYEDDELIVERY_H
#define TERN_STANZA_DELAYEDDELIVERY_H

#include <string>

#include "JID.h"
#include "StanzaExtension.h"

namespace tern {

class DelayBase : public StanzaExtension {
public:
    XmlTag* toXml() const override;

    const JID& from() const { return from_; }
    const std::string& stamp() const { return stamp_; }
    const std::string& reason() const { return reason_; }
    bool valid() const { return valid_; }

protected:
    DelayBase(ExtensionType type, const char* elementName, const std::string& xmlns, const XmlTag* e);

private:
    const char* elementName_;
    const std::string& xmlns_;
    JID from_;
    std::string stamp_;
    std::string reason_;
    bool valid_ = false;
};

class DelayedDelivery : public DelayBase {
public:
    explicit DelayedDelivery(const XmlTag* element);
};

class XDelayedDelivery : public DelayBase {
public:
    explicit XDelayedDelivery(const XmlTag* element);
};

}  // namespace tern

#endif
