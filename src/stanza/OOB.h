// Out-of-band data (XEP-0066), in its "x" form and its iq "query" form.
#ifndef TERN_STANZA_OOB_H
#define TERN_STANZA_OOB_H

#include <string>

#include "StanzaExtension.h"

namespace tern {

class OOB : public StanzaExtension {
public:
    explicit OOB(const XmlTag* element);
    XmlTag* toXml() const override;

    const std::string& url() const { return url_; }
    const std::string& description() const { return description_; }
    bool isIqPayload() const { return isIqPayload_; }
    bool valid() const { return valid_; }

private:
    std::string url_;
    std::string description_;
    bool isIqPayload_ = false;
    bool valid_ = false;
};

}  // namespace tern

#endif
