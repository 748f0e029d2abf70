#pragma once
// The identity-provider settings of ktidpconfig.json (optional, plain JSON).

#include <string>

class idpConfig {
public:
    idpConfig() = default;
    ~idpConfig() = default;

    // Reads m_location + "/ktidpconfig.json". False when the file is missing, empty or not
    // JSON; values read before an error stay.
    bool readIdpConfig();

    bool m_loaded = false;
    bool m_requestEmail = false;
    std::wstring m_location;
    std::string m_domain; // kept only with 2 characters or more
    std::string m_tenant;
    std::string m_authToken; // held for the authentication service; nothing reads it
};

// Names of the authentication service; nothing in this program calls it.
extern const char* const kIdpAuthService;
extern const char* const kIdpAuthenticatePath;
extern const char* const kIdpGetCertPath;
