#include "app/ui/LinksView.h"

#include <string>

#include "app/ui/ProductLinks.h"

namespace {

View link(const char* title, std::string url) {
    return Button(title, [url] { openLink(url); }).buttonStyle(LinkButtonStyle());
}

}  // namespace

View LinksView::body() const {
    return VStack(HorizontalAlignment::center, std::nullopt,
                  {HStack(VerticalAlignment::center, std::nullopt,
                          {link("Help", productPageURL("/help/")), Text("·"),
                           link("Credits", productPageURL("/credits")), Text("·"),
                           link("Privacy", productPageURL("/privacy"))})})
        .frame(FlexibleFrame{.maxWidth = infinity});
}

View CompanyInfoView::body() const {
    return VStack(HorizontalAlignment::center, std::nullopt,
                  {HStack(VerticalAlignment::center, std::nullopt,
                          {Text("made.by"), link("Vantorel", makerSiteURL()), Text(".")})});
}
