// Anchor so the stand-in library is never empty.
namespace platform_anchor { int kAnchor = 0; }
