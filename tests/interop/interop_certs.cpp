#include "interop_certs.h"

#include <sys/stat.h>

#include <sstream>
#include <vector>

#include "interop_process.h"

namespace interop {

namespace {

const char kServer[] = "cn = \"127.0.0.1\"\nip_address = \"127.0.0.1\"\ndns_name = \"localhost\"\n";
const char kUse[] = "tls_www_server\nencryption_key\nsigning_key\n";

bool certtool(const std::vector<std::string> &args, std::string *error) {
    std::vector<std::string> argv = {"certtool"};
    argv.insert(argv.end(), args.begin(), args.end());
    const CommandResult r = run_command(argv);
    if (r.exit_code == 0) return true;
    if (error) *error = "certtool " + args[0] + " failed: " + r.err;
    return false;
}

}  // namespace

bool have_certtool() { return on_path("certtool"); }

bool Certificates::make(const std::string &dir, std::string *error) {
    const std::string ca_key = dir + "/ca-key.pem";
    ca = dir + "/ca-cert.pem";
    key = dir + "/server-key.pem";
    cert = dir + "/server-cert.pem";
    wrong_name = dir + "/wrong-name-cert.pem";
    expired = dir + "/expired-cert.pem";
    self_signed = dir + "/self-signed-cert.pem";
    const std::string days = "expiration_days = 2\n";
    struct Template {
        const char *name;
        std::string text;
    };
    const Template templates[] = {
        {"ca.info", "cn = \"quenvira test CA\"\nca\ncert_signing_key\n" + days},
        {"server.info", std::string(kServer) + kUse + days},
        {"wrong.info", std::string("cn = \"wrong.example\"\ndns_name = \"wrong.example\"\n") + kUse + days},
        {"expired.info", std::string(kServer) + kUse +
                             "activation_date = \"2020-01-01 00:00:00\"\n"
                             "expiration_date = \"2020-01-02 00:00:00\"\n"},
    };
    for (const Template &t : templates)
        if (!write_file(dir + "/" + t.name, t.text)) {
            if (error) *error = "cannot write " + dir + "/" + t.name;
            return false;
        }
    auto signed_by_ca = [&](const std::string &info, const std::string &out) {
        return certtool({"--generate-certificate", "--load-privkey", key, "--load-ca-certificate", ca,
                         "--load-ca-privkey", ca_key, "--template", dir + "/" + info, "--outfile", out},
                        error);
    };
    return certtool({"--generate-privkey", "--key-type=ecdsa", "--outfile", ca_key}, error) &&
           certtool({"--generate-self-signed", "--load-privkey", ca_key, "--template",
                     dir + "/ca.info", "--outfile", ca},
                    error) &&
           certtool({"--generate-privkey", "--key-type=rsa", "--bits=2048", "--outfile", key},
                    error) &&
           signed_by_ca("server.info", cert) && signed_by_ca("wrong.info", wrong_name) &&
           signed_by_ca("expired.info", expired) &&
           certtool({"--generate-self-signed", "--load-privkey", key, "--template",
                     dir + "/server.info", "--outfile", self_signed},
                    error);
}

std::string Certificates::pin(const std::string &cert_file) {
    const CommandResult r = run_command({"certtool", "--certificate-info", "--infile", cert_file});
    std::istringstream in(r.out);
    std::string word;
    while (in >> word)
        if (word.compare(0, 7, "sha256:") == 0 && word.size() == 7 + 64) return word;
    return "";
}

bool Certificates::qemu_dir(const std::string &cert_file, const std::string &dir,
                            std::string *error) const {
    mkdir(dir.c_str(), 0700);
    const std::pair<std::string, std::string> copies[] = {
        {ca, "ca-cert.pem"}, {cert_file, "server-cert.pem"}, {key, "server-key.pem"}};
    for (const auto &[from, to] : copies) {
        if (!write_file(dir + "/" + to, read_file(from))) {
            if (error) *error = "cannot write " + dir + "/" + to;
            return false;
        }
    }
    return true;
}

}  // namespace interop
