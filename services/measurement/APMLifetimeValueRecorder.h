#pragma once
// The user's running spend per currency, kept as the automatic user
// properties "_ltv_" + currency code (millionths of the unit, origin
// "auto"). At most the configuration's maxTrackedCurrencies totals exist:
// a new currency replaces the least recently updated one. Runs on the
// engine's worker queue inside the write path's transaction; no state.

class APMDatabase;
class APMEvent;

class APMLifetimeValueRecorder {
  public:
    static constexpr const char* kPropertyPrefix = "_ltv_";

    // "_iap" or an e-commerce purchase ("ecommerce_purchase", "purchase",
    // "refund").
    static bool isPurchaseEvent(const APMEvent& event);
    static bool isEcommercePurchaseEvent(const APMEvent& event);

    // YES when nothing needed changing, the new total was stored, or the
    // event's currency or value is unusable (logged). NO, so that the caller
    // rolls back and drops the event, when the amount does not fit a signed
    // 64-bit count of millionths, or a database step failed. A total that
    // would pass the 64-bit range stays at its limit.
    static bool recordLifetimeValueToDatabase(APMDatabase& database, const APMEvent& event);
};
