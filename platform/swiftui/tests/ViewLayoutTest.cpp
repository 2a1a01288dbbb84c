#include <gtest/gtest.h>

#include "platform/swiftui/NSHostingView.h"

namespace {

std::shared_ptr<NSHostingView> host(const View& view, NSSize size) {
    auto h = std::make_shared<NSHostingView>(view);
    h->setFrame({{0, 0}, size});
    return h;
}

RenderNode* kind(NSHostingView& h, const std::string& k) {
    return h.root()->find([&](const RenderNode& n) { return n.kind() == k; });
}

}  // namespace

TEST(ViewLayout, TextFollowsTheDocumentedMetricAndWrapsOrShrinks) {
    struct Case {
        View view;
        double offered;
        NSSize size;
        int lines;
        double scale;
    };
    const Case cases[] = {
        {Text(std::string("Hello")), 500, {5 * 13 * 0.6, 13 * 1.2}, 1, 1},
        {Text(std::string("Hello")).font(Font::system(11)), 500, {33, 13.2}, 1, 1},
        {Text(std::string("Hello")).font(Font::system(10)).tracking(1), 500, {35, 12}, 1, 1},
        {Text(std::string("0123456789")).font(Font::system(10)), 25, {25, 36}, 3, 1},
        {Text(std::string("0123456789")).font(Font::system(10)).lineLimit(2), 25, {25, 24}, 2, 1},
        {Text(std::string("0123456789"))
             .font(Font::system(10))
             .lineLimit(1)
             .minimumScaleFactor(0.5),
         45,
         {45, 9},
         1,
         0.75},
        {Text(std::string("0123456789"))
             .font(Font::system(10))
             .lineLimit(1)
             .minimumScaleFactor(0.5),
         20,
         {20, 6},
         1,
         0.5},
        {Text(std::string("éè")).font(Font::system(10)), 500, {12, 12}, 1, 1},
    };
    for (const auto& c : cases) {
        auto h = host(
            c.view.fixedSize(false, true).frame(c.offered, std::nullopt, Alignment::topLeading()),
            {c.offered, 300});
        auto* text = kind(*h, "Text");
        SCOPED_TRACE(text->describe());
        EXPECT_NEAR(text->frame().size.width, c.size.width, 1e-9);
        EXPECT_NEAR(text->frame().size.height, c.size.height, 1e-9);
        EXPECT_EQ(text->lineCount(), c.lines);
        EXPECT_DOUBLE_EQ(text->textScale(), c.scale);
    }
}

TEST(ViewLayout, StacksSumTheirChildrenWithTheDefaultSpacing) {
    // Two 10-point texts of 2 and 4 characters: 12 and 24 wide, 12 high.
    auto pair = [](auto stack) { return stack; };
    auto v = host(pair(VStack(HorizontalAlignment::leading, std::nullopt,
                              {Text(std::string("ab")), Text(std::string("abcd"))}))
                      .font(Font::system(10)),
                  {100, 100});
    auto* stack = kind(*v, "VStack");
    EXPECT_EQ(stack->frame().size, (NSSize{24, 12 + 8 + 12}));
    EXPECT_EQ(stack->children()[0]->frame().origin.x, stack->frame().origin.x);  // leading

    auto h =
        host(HStack(VerticalAlignment::top, 4,
                    {Text(std::string("ab")), Text(std::string("abcd")).font(Font::system(20))})
                 .font(Font::system(10)),
             {200, 100});
    auto* row = kind(*h, "HStack");
    EXPECT_EQ(row->frame().size, (NSSize{12 + 4 + 48, 24}));
    EXPECT_EQ(row->children()[0]->frame().origin.y, row->frame().origin.y);  // top
    EXPECT_EQ(row->children()[1]->frame().origin.x, row->frame().origin.x + 16);

    // A spacer takes what is left; an empty view takes nothing, not even spacing.
    auto spread =
        host(HStack({Text(std::string("ab")), EmptyView(), Spacer(), Text(std::string("cd"))})
                 .font(Font::system(10)),
             {200, 50});
    auto* spacer = kind(*spread, "Spacer");
    EXPECT_EQ(spacer->frame().size.width, 200 - 12 - 12 - 16);
    EXPECT_EQ(kind(*spread, "HStack")->frame().size.width, 200);
    auto divided = host(VStack({Text(std::string("ab")), Divider()}), {120, 50});
    EXPECT_EQ(kind(*divided, "Divider")->frame().size, (NSSize{120, 1}));
}

TEST(ViewLayout, PaddingAndFramesShapeTheSize) {
    auto text = Text(std::string("abcd")).font(Font::system(10));  // 24 × 12
    struct Case {
        View view;
        NSSize size;
    };
    const Case cases[] = {
        {text.padding(), {24 + 32, 12 + 32}},
        {text.padding(Edge::top, 2).padding(Edge::leading, 16), {40, 14}},
        {text.padding(EdgeInsets{1, 2, 3, 4}), {30, 16}},
        {text.padding(Edge::bottom, -8), {24, 4}},
        {text.frame(152, std::nullopt), {152, 12}},
        {text.frame(240, 32), {240, 32}},
        {text.frame(FlexibleFrame{.minWidth = 120}), {120, 12}},
        {text.frame(FlexibleFrame{.maxWidth = infinity}), {300, 12}},
        {text.frame(FlexibleFrame{.maxWidth = 100}), {100, 12}},
        {text.frame(
             FlexibleFrame{.minWidth = 108, .maxWidth = 432, .minHeight = 48, .maxHeight = 192}),
         {300, 192}},
        {Color::white(), {300, 200}},
    };
    for (const auto& c : cases) {
        auto h = host(c.view, {300, 200});
        SCOPED_TRACE(h->dump());
        EXPECT_EQ(h->root()->frame().size, c.size);
        // The host centres its content.
        EXPECT_EQ(h->root()->frame().origin,
                  (NSPoint{(300 - c.size.width) / 2, (200 - c.size.height) / 2}));
    }
    auto aligned = host(text.frame(152, 20, Alignment::trailing()), {152, 20});
    EXPECT_EQ(kind(*aligned, "Text")->frame().origin, (NSPoint{152 - 24, 4}));
}

TEST(ViewLayout, HostingViewReportsItsContentsLimits) {
    auto h = host(View(Color::black())
                      .frame(FlexibleFrame{.minWidth = 108,
                                           .idealWidth = 360,
                                           .maxWidth = 432,
                                           .minHeight = 48,
                                           .idealHeight = 160,
                                           .maxHeight = 192}),
                  {144, 64});
    EXPECT_EQ(h->minimumContentSize(), (NSSize{108, 48}));
    EXPECT_EQ(h->maximumContentSize(), (NSSize{432, 192}));
    EXPECT_EQ(h->fittingSize(), (NSSize{360, 160}));
}

TEST(ViewLayout, ImagesAndGeometryReaders) {
    sim::ViewImages::setSize("wide", {64, 32});
    auto fixed = host(Image("wide", "Mic icon"), {300, 300});
    EXPECT_EQ(fixed->root()->frame().size, (NSSize{64, 32}));
    EXPECT_EQ(fixed->find("Mic icon"), fixed->root());
    auto fitted = host(Image("wide").resizable().scaledToFit().frame(40, 40), {300, 300});
    EXPECT_EQ(kind(*fitted, "Image")->frame().size, (NSSize{40, 20}));
    sim::ViewImages::reset();

    NSSize seen;
    auto reader = host(GeometryReader([&](const GeometryProxy& g) {
                           seen = g.size;
                           return View(Color::white()).frame(g.size.width / 2, 10);
                       }),
                       {200, 100});
    EXPECT_EQ(seen, (NSSize{200, 100}));
    EXPECT_EQ(kind(*reader, "Color")->frame(), (NSRect{{0, 0}, {100, 10}}));
}
