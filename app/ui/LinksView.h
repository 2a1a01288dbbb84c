#pragma once
// Two small views under the about window's description: a row of links to
// the product's help, credits and privacy pages, and a line naming the
// maker with a link to its site.

#include "platform/swiftui/View.h"

struct LinksView {
    View body() const;
};

struct CompanyInfoView {
    View body() const;
};
