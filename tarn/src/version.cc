// Anchor so the framework library is never empty.
namespace tarn { const char* const kTarnVersion = "0.1"; }
