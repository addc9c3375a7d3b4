// Evaluation of an ACPI method by the device below, and the rule that
// judges its output.
#include "firmware/acpi_eval.h"
#include "tests/support/driver_test.h"

#include <cstring>

namespace {

class AcpiEvalTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        CreateDevice();
        acpi_->Firmware().SetStatusValue(0x1234);
    }

    // Evaluates "GSXS" with a simple input into `output_`.
    NTSTATUS EvaluateStatusMethod() {
        AcpiSimpleInput input{ACPI_EVAL_INPUT_BUFFER_SIGNATURE, {'G', 'S', 'X', 'S'}};
        std::memset(&output_, 0, sizeof output_);
        return EvaluateFirmwareMethod(Context()->LowerDevice, IOCTL_ACPI_EVAL_METHOD, &input,
                                      sizeof input, &output_, FIRMWARE_OUTPUT_SIZE);
    }

    AcpiOutput output_{};
};

// An answer at once is returned without waiting; a pending one is awaited
// in virtual time.
TEST_F(AcpiEvalTest, AnswerAtOnceOrPending) {
    EXPECT_EQ(EvaluateStatusMethod(), STATUS_SUCCESS);
    EXPECT_EQ(output_.Signature, ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE);
    EXPECT_EQ(output_.Count, 1u);
    EXPECT_EQ(output_.Argument, 0x1234u);
    EXPECT_EQ(hk::Now(), 0u);
    EXPECT_EQ(JudgeFirmwareResult(STATUS_SUCCESS, &output_), STATUS_SUCCESS);

    acpi_->PendAll(7 * hk::kMillisecond);
    EXPECT_EQ(EvaluateStatusMethod(), STATUS_SUCCESS);
    EXPECT_EQ(output_.Argument, 0x1234u);
    EXPECT_EQ(hk::Now(), 7 * hk::kMillisecond);
}

TEST_F(AcpiEvalTest, ResultRuleRejectsForeignOrEmptyOutput) {
    acpi_->InjectFault("GSXS", sim::AcpiFault::WrongSignature);
    NTSTATUS status = EvaluateStatusMethod();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(JudgeFirmwareResult(status, &output_), STATUS_ACPI_INVALID_DATA);

    acpi_->InjectFault("GSXS", sim::AcpiFault::CountZero);
    status = EvaluateStatusMethod();
    EXPECT_EQ(output_.Signature, ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE);
    EXPECT_EQ(JudgeFirmwareResult(status, &output_), STATUS_ACPI_INVALID_DATA);
}

// A failure (at once, pending, or of an unknown method), and a warning,
// stand unchanged; a request that cannot be built sends nothing.
TEST_F(AcpiEvalTest, WarningsAndFailuresStandUnchanged) {
    acpi_->PendAll(hk::kMillisecond);
    acpi_->InjectFault("GSXS", sim::AcpiFault::FailWithStatus, 1, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(EvaluateStatusMethod(), STATUS_INVALID_DEVICE_REQUEST);
    acpi_->PendAll(0);

    acpi_->InjectFault("GSXS", sim::AcpiFault::BufferOverflow);
    NTSTATUS status = EvaluateStatusMethod();
    EXPECT_EQ(status, STATUS_BUFFER_OVERFLOW);
    AcpiOutput perfect{ACPI_EVAL_OUTPUT_BUFFER_SIGNATURE, 20, 1, 0, 4, 9};
    EXPECT_EQ(JudgeFirmwareResult(status, &perfect), STATUS_BUFFER_OVERFLOW);

    AcpiSimpleInput unknown{ACPI_EVAL_INPUT_BUFFER_SIGNATURE, {'X', 'Y', 'Z', 'W'}};
    EXPECT_EQ(EvaluateFirmwareMethod(Context()->LowerDevice, IOCTL_ACPI_EVAL_METHOD, &unknown,
                                     sizeof unknown, &output_, FIRMWARE_OUTPUT_SIZE),
              STATUS_OBJECT_NAME_NOT_FOUND);
    // A non-negative status other than success passes the rule as it is.
    EXPECT_EQ(JudgeFirmwareResult(STATUS_PENDING, &perfect), STATUS_PENDING);

    acpi_->ClearTrace();
    hk::FailRoutine("IoBuildDeviceIoControlRequest", 0);
    EXPECT_EQ(EvaluateStatusMethod(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(acpi_->Trace().empty());
}

} // namespace
