#pragma once
// Points, sizes and rectangles in screen points, origin at the bottom left.

struct NSPoint {
    double x = 0;
    double y = 0;
    bool operator==(const NSPoint&) const = default;
};
struct NSSize {
    double width = 0;
    double height = 0;
    bool operator==(const NSSize&) const = default;
};
struct NSRect {
    NSPoint origin;
    NSSize size;
    bool operator==(const NSRect&) const = default;
};

inline double NSMinX(const NSRect& r) {
    return r.origin.x;
}
inline double NSMinY(const NSRect& r) {
    return r.origin.y;
}
inline double NSMaxX(const NSRect& r) {
    return r.origin.x + r.size.width;
}
inline double NSMaxY(const NSRect& r) {
    return r.origin.y + r.size.height;
}
