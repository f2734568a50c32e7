// Disposal rules of the framework exceptions and their run-time class answers.
#include "framework/Exceptions.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(Exceptions, FileExceptionCarriesItsCauseAndFreesItself) {
    try {
        ThrowFileException(CFileException::genericException, 10054);
    } catch (CFileException* e) {
        EXPECT_EQ(e->cause, 1);
        EXPECT_EQ(e->osError, 10054);
        EXPECT_TRUE(e->fileName.IsEmpty());
        EXPECT_FALSE(e->IsShared());
        EXPECT_TRUE(e->IsKindOf(&CException::runtimeClass));
        EXPECT_STREQ(e->GetRuntimeClass()->className, "CFileException");
        e->Delete();
    }
}

TEST(Exceptions, SharedInstancesIgnoreDelete) {
    for (int i = 0; i < 3; ++i) {
        try {
            ThrowNotSupportedException();
        } catch (CException* e) {
            EXPECT_EQ(e, CNotSupportedException::Shared());
            e->Delete();
        }
    }
    EXPECT_STREQ(CNotSupportedException::Shared()->GetRuntimeClass()->className, "CNotSupportedException");
    EXPECT_TRUE(CMemoryException::Shared()->IsShared());
    EXPECT_TRUE(CResourceException::Shared()->IsKindOf(&CObject::runtimeClass));
}

TEST(Exceptions, CatchHelperDeletesAndReportsFailure) {
    EXPECT_TRUE(CatchFrameworkExceptions([] {}));
    EXPECT_FALSE(CatchFrameworkExceptions([] { ThrowResourceException(); }));
    EXPECT_FALSE(CatchFrameworkExceptions([] { ThrowFileException(1, 5); }));
}
