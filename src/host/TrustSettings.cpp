#include "host/TrustSettings.h"

namespace tern {

TrustSettings& TrustSettings::instance() {
    static TrustSettings settings;
    return settings;
}

void TrustSettings::setTrustedCaFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    caFile_ = path;
}

void TrustSettings::setAcceptAnyCertificate(bool accept) {
    std::lock_guard<std::mutex> lock(mutex_);
    acceptAny_ = accept;
}

bool TrustSettings::acceptAnyCertificate() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return acceptAny_;
}

StringList TrustSettings::caCerts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    // The first entry has always been there; it names no real file and the
    // TLS layer skips what does not exist.
    StringList list{"/path/to/cacert.crt"};
    if (!caFile_.empty()) list.push_back(caFile_);
    return list;
}

void TrustSettings::setEncryptionPolicy(int policy) {
    if (policy < EncryptionAllowPlaintext || policy > EncryptionRequired) return;
    std::lock_guard<std::mutex> lock(mutex_);
    encryptionPolicy_ = static_cast<EncryptionPolicy>(policy);
}

EncryptionPolicy TrustSettings::encryptionPolicy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return encryptionPolicy_;
}

}  // namespace tern
