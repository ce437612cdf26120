// Where the build put the programs under test.
#pragma once

namespace sorvo::test {

constexpr const char* kRecordProgram = SORVO_RECORD_PROGRAM;
constexpr const char* kViewProgram = SORVO_VIEW_PROGRAM;
constexpr const char* kRecoverProgram = SORVO_RECOVER_PROGRAM;

}  // namespace sorvo::test
