#include "services/util/ZVUSecureCoding.h"

#include <gtest/gtest.h>

namespace {

TEST(ZVUSecureCodingTest, RoundTripAndAllowedClasses) {
    Dictionary payload{{"tag", Value(Date{5.0})}};
    NSError error;
    auto data = ZVUSecureCoding::archivedDataWithRootObject(Id(Value(payload)), &error);
    ASSERT_TRUE(data);
    Id back =
        ZVUSecureCoding::unarchivedObjectOfClasses({"NSDictionary", "NSDate", "NSString"}, *data);
    ASSERT_NE(back.value(), nullptr);
    EXPECT_EQ(*back.value(), Value(payload));

    Id refused = ZVUSecureCoding::unarchivedObjectOfClass("NSString", *data, &error);
    EXPECT_TRUE(refused.isNil());
    EXPECT_EQ(error.domain, "NSCocoaErrorDomain");

    EXPECT_TRUE(
        ZVUSecureCoding::unarchivedObjectOfClass("NSString", Data{1, 2, 3}, &error).isNil());
}

TEST(ZVUSecureCodingTest, ExceptionBecomesAnError) {
    NSException exception("NSInvalidArchiveOperationException", "bad", {{"k", "v"}});
    NSError error = ZVUSecureCoding::archivingErrorWithException(exception);
    EXPECT_EQ(error.domain, "ZVUSecureCodingError");
    EXPECT_EQ(error.code, -1);
    auto reason = error.userInfo[NSLocalizedFailureReasonErrorKey].asString();
    ASSERT_TRUE(reason);
    EXPECT_EQ(
        reason->rfind("NSKeyedArchiver exception with name: NSInvalidArchiveOperationException, "
                      "reason: bad, userInfo: ",
                      0),
        0u);
}

}  // namespace
