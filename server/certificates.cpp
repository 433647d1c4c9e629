#include "server/certificates.h"

#include "server/util.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace quorvale::server {

namespace {

template <auto Free>
struct Deleter
{
    template <typename T>
    void operator()(T *p) const
    {
        Free(p);
    }
};
using Certificate = std::unique_ptr<X509, Deleter<X509_free>>;
using Key = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using Bio = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using BigNumber = std::unique_ptr<BIGNUM, Deleter<BN_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION_free>>;

constexpr long day = 24 * 60 * 60;
constexpr long caLifetimeDays = 3650;
constexpr long serverLifetimeDays = 397;
constexpr long renewWithinDays = 30;

[[noreturn]] void failOpenSsl(const std::string &what)
{
    const unsigned long code = ERR_get_error();
    const char *reason = code ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    throw std::runtime_error(what + ": " + (reason ? reason : "unknown error"));
}

void check(int result, const char *what)
{
    if (result != 1)
        failOpenSsl(what);
}

Key newKey()
{
    Key key(EVP_EC_gen("P-256"));
    if (!key)
        failOpenSsl("cannot generate a key");
    return key;
}

void addExtension(X509 *certificate, X509 *issuer, int nid, const char *value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    Extension extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
    if (!extension)
        failOpenSsl(std::string("cannot make the extension ") + value);
    check(X509_add_ext(certificate, extension.get(), -1), "cannot add an extension");
}

void setName(X509_NAME *name, const char *commonName)
{
    const auto entry = [&](const char *field, const char *value) {
        check(X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC,
                                         reinterpret_cast<const unsigned char *>(value), -1, -1, 0),
              "cannot set a certificate name");
    };
    entry("O", "Quorvale development");
    entry("CN", commonName);
}

Certificate newCertificate(EVP_PKEY *key, const char *commonName, long lifetimeDays)
{
    Certificate certificate(X509_new());
    if (!certificate)
        failOpenSsl("cannot make a certificate");
    check(X509_set_version(certificate.get(), X509_VERSION_3), "cannot set the version");
    BigNumber serial(BN_new());
    if (!serial || BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
        !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate.get())))
        failOpenSsl("cannot set the serial number");
    // A day of slack for clocks that run behind.
    if (!X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -day) ||
        !X509_gmtime_adj(X509_getm_notAfter(certificate.get()), lifetimeDays * day))
        failOpenSsl("cannot set the validity");
    check(X509_set_pubkey(certificate.get(), key), "cannot set the public key");
    setName(X509_get_subject_name(certificate.get()), commonName);
    return certificate;
}

std::string pem(X509 *certificate)
{
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1)
        failOpenSsl("cannot write a certificate");
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

std::string pem(EVP_PKEY *key)
{
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        failOpenSsl("cannot write a key");
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

// Reads are lenient: a missing, unreadable or damaged file reads as nothing.
Certificate readCertificate(const std::filesystem::path &file)
{
    Bio bio(BIO_new_file(file.c_str(), "r"));
    Certificate certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)
                                : nullptr);
    ERR_clear_error();
    return certificate;
}

Key readKey(const std::filesystem::path &file)
{
    Bio bio(BIO_new_file(file.c_str(), "r"));
    Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    return key;
}

bool expiresWithin(X509 *certificate, long days)
{
    const time_t limit = time(nullptr) + days * day;
    time_t at = limit;
    return X509_cmp_time(X509_get0_notAfter(certificate), &at) <= 0;
}

bool usableAuthority(X509 *ca, EVP_PKEY *caKey)
{
    return ca && caKey && X509_check_private_key(ca, caKey) == 1 && X509_check_ca(ca) >= 1 &&
           !expiresWithin(ca, renewWithinDays);
}

bool usableServerCertificate(X509 *certificate, EVP_PKEY *key, X509 *ca)
{
    if (!certificate || !key || X509_check_private_key(certificate, key) != 1)
        return false;
    EVP_PKEY *caPublic = X509_get0_pubkey(ca);
    const bool signedByCa = caPublic && X509_verify(certificate, caPublic) == 1;
    ERR_clear_error();
    return signedByCa && X509_check_host(certificate, "localhost", 0, 0, nullptr) == 1 &&
           !expiresWithin(certificate, renewWithinDays);
}

} // namespace

CertificateFiles CertificateFiles::in(const std::filesystem::path &dataDir)
{
    return {dataDir / "ca.pem", dataDir / "ca-key.pem", dataDir / "server.pem",
            dataDir / "server-key.pem"};
}

void ensureCertificates(const CertificateFiles &files)
{
    Certificate ca = readCertificate(files.caCertificate);
    Key caKey = readKey(files.caKey);
    if (!usableAuthority(ca.get(), caKey.get())) {
        caKey = newKey();
        ca = newCertificate(caKey.get(), "Quorvale development CA", caLifetimeDays);
        check(X509_set_issuer_name(ca.get(), X509_get_subject_name(ca.get())),
              "cannot set the issuer");
        addExtension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE");
        addExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
        addExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash");
        addExtension(ca.get(), ca.get(), NID_authority_key_identifier, "keyid:always");
        if (X509_sign(ca.get(), caKey.get(), EVP_sha256()) == 0)
            failOpenSsl("cannot sign the authority");
        // Each pair is checked as a pair on the next run, so a crash between the two writes
        // only costs a new pair.
        writeFileAtomically(files.caKey, pem(caKey.get()), 0600);
        writeFileAtomically(files.caCertificate, pem(ca.get()), 0644);
    }

    Certificate certificate = readCertificate(files.certificate);
    Key key = readKey(files.key);
    if (usableServerCertificate(certificate.get(), key.get(), ca.get()))
        return;
    key = newKey();
    certificate = newCertificate(key.get(), "localhost", serverLifetimeDays);
    check(X509_set_issuer_name(certificate.get(), X509_get_subject_name(ca.get())),
          "cannot set the issuer");
    addExtension(certificate.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE");
    addExtension(certificate.get(), ca.get(), NID_key_usage, "critical,digitalSignature");
    addExtension(certificate.get(), ca.get(), NID_ext_key_usage, "serverAuth");
    addExtension(certificate.get(), ca.get(), NID_subject_alt_name,
                 "DNS:localhost,IP:127.0.0.1,IP:::1");
    addExtension(certificate.get(), ca.get(), NID_subject_key_identifier, "hash");
    addExtension(certificate.get(), ca.get(), NID_authority_key_identifier, "keyid:always");
    if (X509_sign(certificate.get(), caKey.get(), EVP_sha256()) == 0)
        failOpenSsl("cannot sign the server certificate");
    writeFileAtomically(files.key, pem(key.get()), 0600);
    writeFileAtomically(files.certificate, pem(certificate.get()), 0644);
}

} // namespace quorvale::server
