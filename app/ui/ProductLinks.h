#pragma once
// The web pages the windows open in the user's browser. Pages of the
// product's site carry the query "source=macApp", so that visits from the
// application can be told from others.

#include <string>

// "https://<product site><path>?source=macApp".
std::string productPageURL(const std::string& path);
// The maker's site root.
std::string makerSiteURL();

// Asks the shared workspace to open the page; nothing happens when the text
// does not form an absolute URL.
void openLink(const std::string& url);

// The localised template of a key filled in with one argument (the key
// itself is the template when the table has no entry).
std::string localizedTemplate(const std::string& key, const std::string& argument);
