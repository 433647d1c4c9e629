#pragma once

// The development certificate authority and the server certificate it signs, kept in the data
// directory. Clients trust ca.pem explicitly and verify the name "localhost".

#include <filesystem>

namespace quorvale::server {

struct CertificateFiles
{
    std::filesystem::path caCertificate; // ca.pem
    std::filesystem::path caKey;         // ca-key.pem
    std::filesystem::path certificate;   // server.pem
    std::filesystem::path key;           // server-key.pem

    static CertificateFiles in(const std::filesystem::path &dataDir);
};

// Makes sure usable files exist: keeps a valid authority (so clients that trust it keep
// working), issues a new server certificate when it is missing, unreadable, not signed by the
// authority or about to expire, and starts over only when the authority itself is unusable.
void ensureCertificates(const CertificateFiles &files);

} // namespace quorvale::server
