#pragma once
// URLs as values. Parsing and resolution are libcurl's (curl_url), so what a
// URL means here is what the loader will fetch.

#include <optional>
#include <string>

struct NSURL {
    // An absolute URL, or nullopt when the text is not one.
    static std::optional<NSURL> URLWithString(const std::string& text);
    // A relative reference resolved against base, or nullopt.
    static std::optional<NSURL> URLWithString(const std::string& text, const NSURL& base);
    static NSURL fileURLWithPath(const std::string& path);

    const std::string& absoluteString() const { return absolute_; }
    std::string scheme() const;
    std::string host() const;
    std::optional<int> port() const;
    // Percent-decoded path ("/" when the URL has none; the file path for file URLs).
    std::string path() const;
    std::string query() const;
    bool isFileURL() const { return scheme() == "file"; }
    NSURL URLByAppendingPathComponent(const std::string& component) const;
    std::string lastPathComponent() const;

    bool operator==(const NSURL&) const = default;

  private:
    std::string absolute_;
};
