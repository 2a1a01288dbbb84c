#include "app/ui/AboutView.h"

#include "app/ui/AppDelegate.h"
#include "app/ui/LinksView.h"
#include "app/ui/ProductLinks.h"
#include "platform/bundle/NSBundle.h"

namespace {

std::string infoString(const char* key) {
    const Value* value = NSBundle::mainBundle()->objectForInfoDictionaryKey(key);
    if (!value) return {};
    return value->asString().value_or(std::string());
}

}  // namespace

AboutView::AboutView()
    : buildNumber(infoString("CFBundleVersion")),
      version(infoString("CFBundleShortVersionString")) {}

View AboutView::body() const {
    const std::string& appName = AppDelegate::sharedAppName();
    View logo = Image("Logo", appName)
                    .resizable()
                    .scaledToFit()
                    .frame(FlexibleFrame{.maxWidth = logoWidth, .maxHeight = logoHeight})
                    .padding(Edge::top, 6);

    State<bool> buildInfo = showBuildInfo;
    std::string line = buildInfo.wrappedValue() ? localizedTemplate("build.string", buildNumber)
                                                : localizedTemplate("version.string", version);
    View versionLine =
        HStack(
            VerticalAlignment::center, std::nullopt,
            {VStack(HorizontalAlignment::center, std::nullopt,
                    {Button([buildInfo] { buildInfo.setWrappedValue(!buildInfo.wrappedValue()); },
                            Text(line))
                         .buttonStyle(PlainButtonStyle())
                         .frame(FlexibleFrame{.minWidth = contentMaxWidth})})})
            .frame(FlexibleFrame{.maxWidth = contentMaxWidth})
            .padding(Edge::bottom, 12);

    View description = Text(localizedTemplate("app.shortDescription", appName))
                           .font(Font::body())
                           .multilineTextAlignment(TextAlignment::leading)
                           .padding(Edge::leading, 6)
                           .padding(Edge::trailing, 6)
                           .padding(Edge::bottom, 12)
                           .padding(Edge::top, 12);

    return VStack(HorizontalAlignment::center, std::nullopt,
                  {logo, versionLine, description, View(LinksView()).padding(Edge::bottom, 12),
                   View(CompanyInfoView()).padding(Edge::bottom, 6)})
        .padding()
        .frame(FlexibleFrame{.maxWidth = infinity, .maxHeight = infinity});
}
