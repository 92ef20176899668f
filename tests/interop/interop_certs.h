// Certificates for the encrypted interop tests, made at run time by certtool
// (gnutls-bin) in a directory of the test's: a CA, and certificates of one
// RSA key (x11vnc's OpenSSL takes no other) for 127.0.0.1 signed by it, for
// another name, already expired, and signed by itself.
#ifndef QV_INTEROP_CERTS_H
#define QV_INTEROP_CERTS_H

#include <string>

namespace interop {

struct Certificates {
    std::string ca;           // the CA's certificate (PEM)
    std::string key;          // the servers' private key
    std::string cert;         // 127.0.0.1 and localhost, from the CA
    std::string wrong_name;   // wrong.example only, from the CA
    std::string expired;      // 127.0.0.1, from the CA, valid for a day in 2020
    std::string self_signed;  // 127.0.0.1, signed by its own key

    // Makes them all in dir; false with certtool's words.
    bool make(const std::string &dir, std::string *error);
    // "sha256:HEX" of a certificate file, as tls-pin takes it; "" on failure.
    static std::string pin(const std::string &cert_file);
    // dir as QEMU's tls-creds-x509 reads it: ca-cert.pem, server-cert.pem
    // (a copy of cert_file) and server-key.pem.
    bool qemu_dir(const std::string &cert_file, const std::string &dir, std::string *error) const;
};

// Whether certtool is there.
bool have_certtool();

}  // namespace interop

#endif
