// A throw-away world for the certificate store tests: a temporary HOME with its own NSS
// database, a small PKI made with the openssl CLI, and a SoftHSM2 token registered in the
// database. The user's real ~/.pki is never opened.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace NssTest {

struct TPki {
    std::string Root;  // folder of the whole scratch world
    std::string Home;  // HOME during the tests
    std::string Database;  // $HOME/.pki/nssdb
    std::string MachineDatabase;
    std::string Files;  // PEM/DER/PKCS#12 files of the PKI
    // Names of the parties: <Files>/<name>.pem (certificate), <name>.key (PEM key).
    // "root", "intermediate" (CAs), "signer" (key in the software token), "hsm" (key on the
    // SoftHSM token "dorvik-test", CKA_ID 01A2), "other" (no key), "loaded" (only in
    // loaded.p12, password "p12 secret"), "extra" (another CA, in no database).
    std::string Pem(const std::string& name) const { return Files + "/" + name + ".pem"; }
    std::string Key(const std::string& name) const { return Files + "/" + name + ".key"; }
};

const TPki& Pki();

// Runs a shell command; throws with the command's output when it fails.
std::string Run(const std::string& command);
std::vector<uint8_t> ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::vector<uint8_t>& data);
// SHA-1 fingerprint of a PEM certificate as the openssl CLI prints it, without colons.
std::string OpenSslThumbprint(const std::string& pemPath);

inline constexpr const char* TokenLabel = "dorvik-test";
inline constexpr const char* TokenPin = "1234";
inline constexpr const char* P12Password = "p12 secret";

}  // namespace NssTest
