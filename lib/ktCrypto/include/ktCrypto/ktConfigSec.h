#pragma once
// The protected-or-plain switch for configuration files. In protected mode a file is read
// from and written to its protected form (the path with ".enc" appended, machine scope);
// otherwise the plain file is used. A reader never falls back to the other form.

#include <string>
#include <vector>

class ktConfigSec {
public:
    ktConfigSec();

    // Fill data with the file's content in the current form; false when it could not be had.
    bool readFile(const std::wstring& path, std::string& data);
    bool readFile(const std::string& path, std::string& data);
    // The same, reading the file once, and also fills stored with its bytes as on disk (the
    // protected form's text in protected mode), so a digest covers exactly what was read.
    bool readFile(const std::wstring& path, std::string& data, std::string& stored);
    // The file's text: what readFile gives, cut where a protected file's plaintext ends
    // (protectedText).
    bool readText(const std::wstring& path, std::string& text);
    bool readText(const std::string& path, std::string& text);
    // Replace the file in the current form with data.
    bool writeFile(const std::wstring& path, const std::string& data);
    bool writeFile(const std::string& path, const std::string& data);

    // Sets the mode, then removes stale forms: in each folder (only from session 0) and of
    // filePath (from any session). A stale form is removed only once the form in force
    // beside it was read whole (decrypted when protected; parsed when JSON), so the only
    // usable copy of a file is never removed; one that cannot be read is logged and both
    // stay. Links to folders are not followed. Failures to remove are logged and the rest
    // goes on. With an empty filePath and no folders it only sets the mode.
    void apply(bool encrypted, const std::wstring& filePath,
               const std::vector<std::wstring>& folders);

    // The path as the file is stored: with ".enc" appended in protected mode.
    std::wstring encryptedFileName(const std::wstring& path) const;

    bool encrypted() const { return m_encrypted; }

private:
    void cleanFolder(const std::wstring& folder);

    bool m_encrypted;
    std::vector<std::string> m_plainExtensions;
    std::vector<std::string> m_protectedExtensions;
    std::vector<std::string> m_plainExceptions;
};
