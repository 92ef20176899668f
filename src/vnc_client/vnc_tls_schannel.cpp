// TLS through Windows' SChannel (secur32) and the certificate checks through
// crypt32. SChannel only transforms buffers here: every byte goes through
// the non-blocking socket and every wait is ours, bounded and cancellable,
// and never on the socket while a decrypted record (or a whole encrypted
// one) is held. The certificate is validated by this library, not by
// SChannel, so the host's options (CA file, pin, verify off) decide.
#define SECURITY_WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <wincrypt.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "vnc_client_internal.h"
#include "vnc_tls.h"

// The SSL policy's checks to leave out (wininet.h's values, not included
// here for four numbers).
#ifndef SECURITY_FLAG_IGNORE_REVOCATION
#define SECURITY_FLAG_IGNORE_REVOCATION 0x00000080
#define SECURITY_FLAG_IGNORE_UNKNOWN_CA 0x00000100
#define SECURITY_FLAG_IGNORE_WRONG_USAGE 0x00000200
#define SECURITY_FLAG_IGNORE_CERT_DATE_INVALID 0x00002000
#endif

namespace {

using clock_type = std::chrono::steady_clock;

// How long a close waits for room to send its close_notify.
constexpr int kCloseNotifyMs = 1000;
// A TLS record: 5 bytes of header, at most 2^14 + 2048 of body.
constexpr size_t kRecordHeader = 5;
constexpr size_t kMaxRecord = kRecordHeader + 16384 + 2048;
// The most a CA file may hold.
constexpr long kMaxCaFileBytes = 16L << 20;

// The handshake's own outcomes beside SChannel's codes (outside their range).
constexpr SECURITY_STATUS kHsTimedOut = static_cast<SECURITY_STATUS>(0x8009ff01);
constexpr SECURITY_STATUS kHsCancelled = static_cast<SECURITY_STATUS>(0x8009ff02);
constexpr SECURITY_STATUS kHsSocket = static_cast<SECURITY_STATUS>(0x8009ff03);

constexpr DWORD kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_MANUAL_CRED_VALIDATION;

int ms_until(clock_type::time_point deadline, int cap) {
    const long long left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - clock_type::now()).count();
    return static_cast<int>(std::clamp<long long>(std::min<long long>(left, cap), 0, 1 << 30));
}

class schannel_transport final : public vnc_transport {
public:
    explicit schannel_transport(vnc_socket_t sock) : vnc_transport(sock) {}
    ~schannel_transport() override {
        if (have_context_) DeleteSecurityContext(&context_);
        if (have_cred_) FreeCredentialsHandle(&cred_);
    }

    CredHandle cred_{};
    CtxtHandle context_{};
    bool have_cred_ = false, have_context_ = false;
    SecPkgContext_StreamSizes sizes_{};

    // Encrypted bytes from the socket not yet decrypted.
    unsigned char in_[kMaxRecord * 2];
    size_t in_len_ = 0;

    SECURITY_STATUS init() {
        SCHANNEL_CRED sc{};
        sc.dwVersion = SCHANNEL_CRED_VERSION;
        // TLS 1.2: what this credential structure can ask for on every
        // Windows that runs the library.
        sc.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        sc.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
        TimeStamp expiry;
        const SECURITY_STATUS s =
            AcquireCredentialsHandleA(nullptr, const_cast<char *>(UNISP_NAME_A),
                                      SECPKG_CRED_OUTBOUND, nullptr, &sc, nullptr, nullptr,
                                      &cred_, &expiry);
        have_cred_ = s == SEC_E_OK;
        return s;
    }

    // Sends a whole token before the deadline. 0, or -1 timed out, -2
    // cancelled, -3 failed.
    int send_token(const void *data, size_t len, clock_type::time_point deadline,
                   const std::atomic<int> *cancel) {
        const char *p = static_cast<const char *>(data);
        while (len > 0) {
            const long r = vnc_sock_try_send(sock_, p, len);
            if (r > 0) {
                p += r;
                len -= static_cast<size_t>(r);
                continue;
            }
            if (r == -1) return -3;
            const int w = vnc_sock_wait_writable(sock_, ms_until(deadline, kHandshakeTimeoutMs),
                                                 cancel);
            if (w == 0) return -1;
            if (w < 0) return cancel && !cancel->load() ? -2 : -3;
        }
        return 0;
    }

    // The handshake. SEC_E_OK, SChannel's failure, or kHsTimedOut,
    // kHsCancelled, kHsSocket (peer_closed_ or net_error_ says which).
    SECURITY_STATUS handshake(const char *target, clock_type::time_point deadline,
                              const std::atomic<int> *cancel) {
        bool first = true;
        for (;;) {
            SecBuffer in_bufs[2] = {{static_cast<unsigned long>(in_len_), SECBUFFER_TOKEN, in_},
                                    {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in_bufs};
            SecBuffer out_bufs[1] = {{0, SECBUFFER_TOKEN, nullptr}};
            SecBufferDesc out_desc{SECBUFFER_VERSION, 1, out_bufs};
            DWORD attrs = 0;
            SECURITY_STATUS s;
            if (first) {
                s = InitializeSecurityContextA(&cred_, nullptr, const_cast<char *>(target),
                                               kContextFlags, 0, 0, nullptr, 0, &context_,
                                               &out_desc, &attrs, nullptr);
                if (s == SEC_I_CONTINUE_NEEDED || s == SEC_E_OK) have_context_ = true;
                first = false;
            } else {
                s = InitializeSecurityContextA(&cred_, &context_, const_cast<char *>(target),
                                               kContextFlags, 0, 0, &in_desc, 0, nullptr,
                                               &out_desc, &attrs, nullptr);
            }
            // What SChannel has to say goes out first, an alert too.
            if (out_bufs[0].pvBuffer) {
                const int r = out_bufs[0].cbBuffer
                                  ? send_token(out_bufs[0].pvBuffer, out_bufs[0].cbBuffer,
                                               deadline, cancel)
                                  : 0;
                FreeContextBuffer(out_bufs[0].pvBuffer);
                if (r && (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED)) {
                    if (r == -1) return kHsTimedOut;
                    if (r == -2) return kHsCancelled;
                    net_error_ = vnc_sock_last_error();
                    return kHsSocket;
                }
            }
            if (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED) {
                // What follows the last handshake message stays for the
                // receive (a server may speak first).
                if (!first && in_bufs[1].BufferType == SECBUFFER_EXTRA && in_bufs[1].cbBuffer) {
                    std::memmove(in_, in_ + in_len_ - in_bufs[1].cbBuffer, in_bufs[1].cbBuffer);
                    in_len_ = in_bufs[1].cbBuffer;
                } else {
                    in_len_ = 0;
                }
                if (s == SEC_E_OK) return s;
                if (in_len_) continue;
            } else if (s == SEC_I_INCOMPLETE_CREDENTIALS) {
                continue;  // a request for a client certificate: we go on without
            } else if (s != SEC_E_INCOMPLETE_MESSAGE) {
                return s;
            }
            if (in_len_ == sizeof in_) return SEC_E_INVALID_TOKEN;
            const long r = vnc_sock_try_recv(sock_, in_ + in_len_, sizeof in_ - in_len_);
            if (r > 0) {
                in_len_ += static_cast<size_t>(r);
                continue;
            }
            // A reset (the server dropping what we sent) is its close too.
            if (r <= 0 && r != -2) {
                peer_closed_ = true;
                return kHsSocket;
            }
            const int w = vnc_sock_wait_readable(sock_, ms_until(deadline, kHandshakeTimeoutMs),
                                                 cancel);
            if (w == 0) return kHsTimedOut;
            if (w < 0) {
                if (cancel && !cancel->load()) return kHsCancelled;
                net_error_ = vnc_sock_last_error();
                return kHsSocket;
            }
        }
    }

    size_t pending() const override {
        std::lock_guard<std::mutex> g(record_lock_);
        if (plain_off_ < plain_.size()) return plain_.size() - plain_off_;
        // The server's close_notify read: the next receive reports the end.
        if (ended_) return 1;
        // A whole record already read from the socket counts as well: the
        // socket may never wake a wait for it.
        if (in_len_ >= kRecordHeader &&
            in_len_ >= kRecordHeader + ((size_t{in_[3]} << 8) | in_[4]))
            return 1;
        return 0;
    }
    bool receive_blocks() const override { return false; }

    long recv_some(void *buffer, size_t max) override {
        std::lock_guard<std::mutex> g(record_lock_);
        for (;;) {
            if (plain_off_ < plain_.size()) {
                const size_t n = std::min(max, plain_.size() - plain_off_);
                std::memcpy(buffer, plain_.data() + plain_off_, n);
                plain_off_ += n;
                return static_cast<long>(n);
            }
            if (ended_) return 0;
            if (in_len_ > 0) {
                const long d = decrypt_one();
                if (d < 0) return -1;
                if (d > 0) continue;  // a record decrypted, or the end noted
            }
            if (in_len_ == sizeof in_) {
                recv_error_ = SEC_E_INVALID_TOKEN;
                return -1;
            }
            const long r = vnc_sock_try_recv(sock_, in_ + in_len_, sizeof in_ - in_len_);
            if (r > 0) {
                in_len_ += static_cast<size_t>(r);
                continue;
            }
            // A server that ends the TCP stream without close_notify has
            // ended it all the same (every VNC server does).
            if (r == 0) return 0;
            if (r == -2) return kAgain;
            recv_error_ = vnc_sock_last_error();
            return -1;
        }
    }

    int send_all(const void *data, size_t length, const std::atomic<int> *cancel,
                 int stall_ms) override {
        const unsigned char *p = static_cast<const unsigned char *>(data);
        auto last_progress = clock_type::now();
        const size_t chunk_max = sizes_.cbMaximumMessage;
        while (length > 0) {
            const size_t chunk = std::min(length, chunk_max);
            size_t total = 0;
            {
                std::lock_guard<std::mutex> g(record_lock_);
                unsigned char *rec = out_.data();
                std::memcpy(rec + sizes_.cbHeader, p, chunk);
                SecBuffer bufs[4] = {
                    {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, rec},
                    {static_cast<unsigned long>(chunk), SECBUFFER_DATA, rec + sizes_.cbHeader},
                    {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, rec + sizes_.cbHeader + chunk},
                    {0, SECBUFFER_EMPTY, nullptr}};
                SecBufferDesc desc{SECBUFFER_VERSION, 4, bufs};
                const SECURITY_STATUS s = EncryptMessage(&context_, 0, &desc, 0);
                // The record is encrypted in place: no plaintext stays behind.
                if (s != SEC_E_OK) {
                    send_error_ = s;
                    return -1;
                }
                total = bufs[0].cbBuffer + bufs[1].cbBuffer + bufs[2].cbBuffer;
            }
            p += chunk;
            length -= chunk;
            // The record goes out whole, or the connection ends with it.
            record_open_ = true;
            const unsigned char *q = out_.data();
            while (total > 0) {
                const long r = vnc_sock_try_send(sock_, q, total);
                if (r > 0) {
                    q += r;
                    total -= static_cast<size_t>(r);
                    last_progress = clock_type::now();
                    continue;
                }
                if (r == -1) {
                    send_error_ = vnc_sock_last_error();
                    return -1;
                }
                const int slice = vnc_stall_left_ms(stall_ms, last_progress);
                if (slice == 0) return -2;
                if (vnc_sock_wait_writable(sock_, slice, cancel) < 0) {
                    send_error_ = ECANCELED;
                    return -1;
                }
            }
            record_open_ = false;
        }
        return 0;
    }

    void end_stream(bool reader_active) override {
        // The shutdown changes the context a receive is using; the close
        // calls again once the worker is gone.
        if (reader_active) return;
        // After a record cut short, an alert would only be garbage to the
        // server: the half-close alone ends the stream.
        if (!closed_ && !record_open_ && have_context_) {
            closed_ = true;
            DWORD type = SCHANNEL_SHUTDOWN;
            SecBuffer buf{sizeof type, SECBUFFER_TOKEN, &type};
            SecBufferDesc desc{SECBUFFER_VERSION, 1, &buf};
            if (ApplyControlToken(&context_, &desc) == SEC_E_OK) {
                SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
                SecBufferDesc out_desc{SECBUFFER_VERSION, 1, &out};
                DWORD attrs = 0;
                const SECURITY_STATUS s = InitializeSecurityContextA(
                    &cred_, &context_, nullptr, kContextFlags, 0, 0, nullptr, 0, nullptr,
                    &out_desc, &attrs, nullptr);
                if (out.pvBuffer) {
                    if ((s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED) && out.cbBuffer)
                        send_token(out.pvBuffer, out.cbBuffer,
                                   clock_type::now() + std::chrono::milliseconds(kCloseNotifyMs),
                                   nullptr);
                    FreeContextBuffer(out.pvBuffer);
                }
            }
        }
        vnc_sock_shutdown_send(sock_);
    }

    int recv_error() const override { return recv_error_; }
    int send_error() const override { return send_error_; }
    void error_text(int code, char *buf, size_t size) const override {
        if (code >= 0)
            vnc_sock_error_text(code, buf, size);
        else
            std::snprintf(buf, size, "TLS: SChannel error 0x%08lx",
                          static_cast<unsigned long>(code));
    }

    // Buffers for the records, sized once the handshake is done.
    bool make_buffers() {
        sizes_ = {};
        if (QueryContextAttributesA(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK)
            return false;
        sizes_.cbMaximumMessage = std::min<unsigned long>(sizes_.cbMaximumMessage, 16384);
        if (sizes_.cbMaximumMessage == 0 || sizes_.cbHeader > 1024 || sizes_.cbTrailer > 1024)
            return false;
        try {
            out_.resize(sizes_.cbHeader + sizes_.cbMaximumMessage + sizes_.cbTrailer);
            plain_.reserve(kMaxRecord);
        } catch (...) {
            return false;
        }
        return true;
    }

    bool peer_closed_ = false;
    int net_error_ = 0;

private:
    // Decrypts the record at the front of in_. 1 one decrypted (or the
    // peer's close_notify noted), 0 more bytes needed, -1 failed.
    long decrypt_one() {
        SecBuffer bufs[4] = {{static_cast<unsigned long>(in_len_), SECBUFFER_DATA, in_},
                             {0, SECBUFFER_EMPTY, nullptr},
                             {0, SECBUFFER_EMPTY, nullptr},
                             {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc{SECBUFFER_VERSION, 4, bufs};
        const SECURITY_STATUS s = DecryptMessage(&context_, &desc, 0, nullptr);
        if (s == SEC_E_INCOMPLETE_MESSAGE) return 0;
        if (s != SEC_E_OK && s != SEC_I_CONTEXT_EXPIRED) {
            // A renegotiation included: VNC servers ask for none.
            recv_error_ = s;
            return -1;
        }
        plain_.clear();
        plain_off_ = 0;
        const SecBuffer *extra = nullptr;
        for (const SecBuffer &b : bufs) {
            if (b.BufferType == SECBUFFER_DATA && b.pvBuffer)
                plain_.insert(plain_.end(), static_cast<unsigned char *>(b.pvBuffer),
                              static_cast<unsigned char *>(b.pvBuffer) + b.cbBuffer);
            if (b.BufferType == SECBUFFER_EXTRA && b.cbBuffer) extra = &b;
        }
        if (extra) {
            std::memmove(in_, in_ + in_len_ - extra->cbBuffer, extra->cbBuffer);
            in_len_ = extra->cbBuffer;
        } else {
            in_len_ = 0;
        }
        if (s == SEC_I_CONTEXT_EXPIRED) ended_ = true;
        return 1;
    }

    int recv_error_ = 0;
    int send_error_ = 0;
    // Held across each record call, none of which waits: SChannel's
    // context is shared by the receiving and the sending side.
    mutable std::mutex record_lock_;
    std::vector<unsigned char> plain_, out_;
    size_t plain_off_ = 0;
    bool ended_ = false;
    bool record_open_ = false;
    bool closed_ = false;
};

// ---- The certificate -------------------------------------------------------

struct cert_store {
    HCERTSTORE h = nullptr;
    ~cert_store() {
        if (h) CertCloseStore(h, 0);
    }
};
struct cert_ref {
    PCCERT_CONTEXT p = nullptr;
    ~cert_ref() {
        if (p) CertFreeCertificateContext(p);
    }
};
struct chain_ref {
    PCCERT_CHAIN_CONTEXT p = nullptr;
    ~chain_ref() {
        if (p) CertFreeCertificateChain(p);
    }
};

// The PEM certificates of path into a memory store. Empty why: read.
void load_ca_file(const char *path, cert_store &store, std::string &why) {
    std::FILE *f = std::fopen(path, "rb");
    if (!f) {
        why = std::strerror(errno);
        return;
    }
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0 &&
           text.size() < static_cast<size_t>(kMaxCaFileBytes))
        text.append(chunk, n);
    std::fclose(f);
    if (text.size() >= static_cast<size_t>(kMaxCaFileBytes)) {
        why = "the file is too large";
        return;
    }
    store.h = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (!store.h) {
        why = "out of memory";
        return;
    }
    static const char kBegin[] = "-----BEGIN CERTIFICATE-----";
    static const char kEnd[] = "-----END CERTIFICATE-----";
    int count = 0;
    for (size_t at = text.find(kBegin); at != std::string::npos; at = text.find(kBegin, at)) {
        const size_t end = text.find(kEnd, at);
        if (end == std::string::npos) break;
        const size_t stop = end + sizeof kEnd - 1;
        DWORD size = 0;
        if (CryptStringToBinaryA(text.data() + at, static_cast<DWORD>(stop - at),
                                 CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr) &&
            size) {
            std::vector<BYTE> der(size);
            if (CryptStringToBinaryA(text.data() + at, static_cast<DWORD>(stop - at),
                                     CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                                     nullptr) &&
                CertAddEncodedCertificateToStore(store.h, X509_ASN_ENCODING, der.data(), size,
                                                 CERT_STORE_ADD_USE_EXISTING, nullptr))
                ++count;
        }
        at = stop;
    }
    if (count == 0) why = "no certificate in it";
}

using peer_cert = vnc_peer_cert;

void format_time(const FILETIME &ft, char *out, size_t size) {
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&ft, &st)) {
        std::snprintf(out, size, "unknown");
        return;
    }
    std::snprintf(out, size, "%04u-%02u-%02u %02u:%02u:%02u UTC", st.wYear, st.wMonth, st.wDay,
                  st.wHour, st.wMinute, st.wSecond);
}

void describe_cert(PCCERT_CONTEXT cert, peer_cert &out) {
    // Most specific first ("CN=...,O=..."), as RFC 4514 writes names.
    const DWORD flags = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
    CertNameToStrA(X509_ASN_ENCODING, &cert->pCertInfo->Subject, flags, out.subject,
                   sizeof out.subject);
    CertNameToStrA(X509_ASN_ENCODING, &cert->pCertInfo->Issuer, flags, out.issuer,
                   sizeof out.issuer);
    format_time(cert->pCertInfo->NotBefore, out.not_before, sizeof out.not_before);
    format_time(cert->pCertInfo->NotAfter, out.not_after, sizeof out.not_after);
    BYTE digest[32];
    DWORD len = sizeof digest;
    if (CryptHashCertificate2(L"SHA256", 0, nullptr, cert->pbCertEncoded, cert->cbCertEncoded,
                              digest, &len) &&
        len == 32)
        for (size_t i = 0; i < 32; ++i)
            std::snprintf(out.sha256 + 2 * i, 3, "%02x", digest[i]);
}

// Whether the store holds this very certificate, byte for byte (crypt32's
// own comparison goes by issuer and serial number, which anyone can copy).
bool in_store(HCERTSTORE store, PCCERT_CONTEXT cert) {
    for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c;
         c = CertEnumCertificatesInStore(store, c))
        if (c->cbCertEncoded == cert->cbCertEncoded &&
            std::memcmp(c->pbCertEncoded, cert->pbCertEncoded, c->cbCertEncoded) == 0) {
            CertFreeCertificateContext(c);
            return true;
        }
    return false;
}

// Whether the certificate carries the IP address name (its subject
// alternative names' IP entries).
bool ip_matches(PCCERT_CONTEXT cert, const char *name) {
    unsigned char want[16];
    size_t want_len = 0;
    if (inet_pton(AF_INET, name, want) == 1)
        want_len = 4;
    else if (inet_pton(AF_INET6, name, want) == 1)
        want_len = 16;
    else
        return false;
    const CERT_EXTENSION *ext =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension,
                          cert->pCertInfo->rgExtension);
    if (!ext) return false;
    CERT_ALT_NAME_INFO *info = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData,
                             ext->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &size))
        return false;
    bool ok = false;
    for (DWORD i = 0; i < info->cAltEntry && !ok; ++i) {
        const CERT_ALT_NAME_ENTRY &e = info->rgAltEntry[i];
        ok = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == want_len &&
             std::memcmp(e.IPAddress.pbData, want, want_len) == 0;
    }
    LocalFree(info);
    return ok;
}

// Whether the certificate is for the DNS name, by the SSL policy with every
// other check left out.
bool dns_matches(PCCERT_CHAIN_CONTEXT chain, const char *name) {
    const int wide = MultiByteToWideChar(CP_UTF8, 0, name, -1, nullptr, 0);
    if (wide <= 0) return false;
    std::vector<wchar_t> wname(static_cast<size_t>(wide));
    MultiByteToWideChar(CP_UTF8, 0, name, -1, wname.data(), wide);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
    ssl.cbSize = sizeof ssl;
    ssl.dwAuthType = AUTHTYPE_SERVER;
    ssl.fdwChecks = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                    SECURITY_FLAG_IGNORE_WRONG_USAGE | SECURITY_FLAG_IGNORE_REVOCATION;
    ssl.pwszServerName = wname.data();
    CERT_CHAIN_POLICY_PARA para{};
    para.cbSize = sizeof para;
    para.dwFlags = CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG |
                   CERT_CHAIN_POLICY_IGNORE_ALL_NOT_TIME_VALID_FLAGS |
                   CERT_CHAIN_POLICY_IGNORE_WRONG_USAGE_FLAG |
                   CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
    para.pvExtraPolicyPara = &ssl;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    return CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &para, &status) &&
           status.dwError == 0;
}

// Checks the server's certificate against the host's options; records the
// certificate's lines and the verdict. 0 accepted, -1 refused (noted).
int check_certificate(vnc_sec_ctx &ctx, schannel_transport &t, const char *server_name,
                      HCERTSTORE ca) {
    cert_ref cert;
    if (QueryContextAttributesA(&t.context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert.p) !=
            SEC_E_OK ||
        !cert.p) {
        vnc_sec_info(ctx, "verification", "no certificate");
        return vnc_sec_fail(ctx, "Server sent no certificate",
                            "Server sent no certificate in the TLS handshake");
    }
    peer_cert pc;
    describe_cert(cert.p, pc);
    vnc_tls_describe(ctx, pc);

    // A pin decides alone, whatever the CA says.
    if (const int pinned = vnc_tls_pin_verdict(ctx, pc); pinned <= 0) return pinned;

    // The chain from what the server sent (and the CA file's certificates),
    // up to the system's roots.
    cert_store extra;
    extra.h = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (extra.h) {
        if (cert.p->hCertStore) CertAddStoreToCollection(extra.h, cert.p->hCertStore, 0, 0);
        if (ca) CertAddStoreToCollection(extra.h, ca, 0, 0);
    }
    CERT_CHAIN_PARA chain_para{};
    chain_para.cbSize = sizeof chain_para;
    chain_ref chain;
    DWORD errors = CERT_TRUST_IS_UNTRUSTED_ROOT;
    if (CertGetCertificateChain(nullptr, cert.p, nullptr, extra.h, &chain_para, 0, nullptr,
                                &chain.p) &&
        chain.p->cChain > 0)
        errors = chain.p->TrustStatus.dwErrorStatus;
    // Revocation is not asked for; what is left unknown about it is no fault.
    errors &= ~(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
    bool trusted = !(errors & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN));
    if (ca) {
        // With a CA file, only its certificates vouch: one of them must be
        // on the chain (a root or an intermediate).
        trusted = false;
        if (chain.p && chain.p->cChain > 0) {
            const CERT_SIMPLE_CHAIN *simple = chain.p->rgpChain[0];
            for (DWORD i = 0; i < simple->cElement && !trusted; ++i)
                trusted = in_store(ca, simple->rgpElement[i]->pCertContext);
        }
    }
    const bool time_bad = errors & CERT_TRUST_IS_NOT_TIME_VALID;
    errors &= ~(CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN |
                CERT_TRUST_IS_NOT_TIME_VALID | CERT_TRUST_IS_NOT_TIME_NESTED);
    const bool name_ok = vnc_tls_is_ip_address(server_name) ? ip_matches(cert.p, server_name)
                                                    : chain.p && dns_matches(chain.p, server_name);

    vnc_cert_fault fault = vnc_cert_fault::none;
    char reason[kErrorTextSize] = "";
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    if (!trusted) {
        fault = vnc_cert_fault::unknown_issuer;
    } else if (time_bad && CompareFileTime(&now, &cert.p->pCertInfo->NotBefore) < 0) {
        fault = vnc_cert_fault::not_yet_valid;
    } else if (time_bad) {
        fault = vnc_cert_fault::expired;
    } else if (errors != 0) {
        fault = vnc_cert_fault::invalid;
        std::snprintf(reason, sizeof reason,
                      "Server certificate refused: invalid (chain status 0x%lx; sha256:%s)",
                      static_cast<unsigned long>(errors), pc.sha256);
    } else if (!name_ok) {
        fault = vnc_cert_fault::name_mismatch;
    }
    return vnc_tls_cert_verdict(ctx, pc, fault, reason, server_name);
}

int fail_tls(vnc_sec_ctx &ctx, const schannel_transport &t, SECURITY_STATUS s) {
    if (s == kHsCancelled || !ctx.c->connect_go.load()) {
        vnc_note_end(ctx.c, "Connection attempt abandoned by vnc_disconnect");
        ctx.error = "Connection attempt abandoned";
        return -1;
    }
    if (s == kHsTimedOut)
        return vnc_sec_fail(ctx, "TLS handshake failed", "Timed out in the TLS handshake");
    if (s == kHsSocket && t.peer_closed_)
        return vnc_sec_fail(ctx, "TLS handshake failed",
                            "Server closed the connection in the TLS handshake");
    if (s == kHsSocket && t.net_error_) {
        char text[160];
        vnc_sock_error_text(t.net_error_, text, sizeof text);
        return vnc_sec_fail(ctx, "TLS handshake failed", "TLS handshake failed: %s", text);
    }
    if (s == SEC_E_ALGORITHM_MISMATCH)
        return vnc_sec_fail(ctx, "TLS handshake failed",
                            "TLS handshake failed: the server and this client share no cipher "
                            "suite (SChannel 0x%08lx)",
                            static_cast<unsigned long>(s));
    return vnc_sec_fail(ctx, "TLS handshake failed", "TLS handshake failed: SChannel error 0x%08lx",
                        static_cast<unsigned long>(s));
}

void record_session(vnc_sec_ctx &ctx, schannel_transport &t) {
    SecPkgContext_ConnectionInfo info{};
    const char *version = "unknown";
    if (QueryContextAttributesA(&t.context_, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK) {
        if (info.dwProtocol & SP_PROT_TLS1_2_CLIENT) version = "TLS1.2";
#ifdef SP_PROT_TLS1_3_CLIENT
        if (info.dwProtocol & SP_PROT_TLS1_3_CLIENT) version = "TLS1.3";
#endif
    }
    vnc_sec_info(ctx, "tls-version", version);
    // The suite's IANA name ("TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384") when
    // SChannel tells it; else its parts by their algorithm numbers.
    char cipher[128] = "";
    SecPkgContext_CipherInfo ci{};
    ci.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
    if (QueryContextAttributesW(&t.context_, SECPKG_ATTR_CIPHER_INFO, &ci) == SEC_E_OK &&
        ci.szCipherSuite[0])
        WideCharToMultiByte(CP_UTF8, 0, ci.szCipherSuite, -1, cipher, sizeof cipher, nullptr,
                            nullptr);
    if (!cipher[0])
        std::snprintf(cipher, sizeof cipher, "exchange 0x%x, cipher 0x%x (%lu bits), hash 0x%x",
                      info.aiExch, info.aiCipher, static_cast<unsigned long>(info.dwCipherStrength),
                      info.aiHash);
    vnc_sec_info(ctx, "tls-cipher", cipher);
}

}  // namespace

bool vnc_tls_available() { return true; }

int vnc_tls_start(vnc_sec_ctx &ctx, const vnc_tls_config &config) {
    vnc_client_t *c = ctx.c;
    const vnc_options &o = c->conn;
    if (config.anonymous)
        return vnc_sec_fail(
            ctx, "This build's TLS (Windows SChannel) has no anonymous TLS",
            "The chosen security type needs anonymous TLS, which this build's TLS (Windows "
            "SChannel) does not have; choose an X.509 type or another with the security option");
    // Bytes from memory (the fuzzer): TLS would begin here.
    if (!ctx.reader)
        return vnc_sec_fail(ctx, "TLS handshake failed", "No connection for the TLS handshake");
    const char *server_name = o.tls_server_name.empty() ? ctx.host : o.tls_server_name.c_str();
    cert_store ca;
    if (!o.tls_ca_file.empty()) {
        std::string why;
        load_ca_file(o.tls_ca_file.c_str(), ca, why);
        if (!why.empty())
            return vnc_sec_fail(ctx, "Could not read the CA certificates of tls-ca-file",
                                "Could not read CA certificates from \"%.200s\" (tls-ca-file): %s",
                                o.tls_ca_file.c_str(), why.c_str());
    }
    vnc_transport_ptr made(vnc_new<schannel_transport>(c->sock));
    auto *t = static_cast<schannel_transport *>(made.get());
    if (!t)
        return vnc_sec_fail(ctx, "Could not connect to VNC server",
                            "Out of memory setting up TLS");
    SECURITY_STATUS s = t->init();
    if (s != SEC_E_OK)
        return vnc_sec_fail(ctx, "TLS could not be set up",
                            "TLS could not be set up: SChannel error 0x%08lx",
                            static_cast<unsigned long>(s));
    if (ctx.in->buffered())
        return vnc_sec_fail(ctx, "Server broke the security handshake",
                            "Server sent %lu bytes before the TLS handshake",
                            static_cast<unsigned long>(ctx.in->buffered()));
    // No name is sent for an address.
    s = t->handshake(vnc_tls_is_ip_address(server_name) ? nullptr : server_name, ctx.deadline,
                     &c->connect_go);
    if (s != SEC_E_OK) return fail_tls(ctx, *t, s);
    if (!t->make_buffers())
        return vnc_sec_fail(ctx, "TLS could not be set up",
                            "TLS could not be set up: no record sizes from SChannel");
    record_session(ctx, *t);
    if (check_certificate(ctx, *t, server_name, ca.h)) return -1;
    return vnc_sec_replace_transport(ctx, std::move(made));
}
