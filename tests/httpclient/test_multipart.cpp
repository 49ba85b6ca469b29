// The upload's body plan driven offline: what each step hands to its sink, and the declared length.
#include "client.h"
#include "temp_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Tavon;
using namespace TestSupport;

namespace {

// Keeps every platform write of every step, and the parts begun.
class CRecorder final : public CBodySinkA {
public:
    void Write(const char* pbyBuff, DWORD cbyBuff, BOOL bIsValue) override {
        writes.back().emplace_back(pbyBuff, cbyBuff);
        nValueBytes += bIsValue ? cbyBuff : 0;
    }
    void BeginPart(const char* szName, DWORD nSize, BOOL bIsFile, const char* szPath) override {
        parts.push_back(std::string(szName) + "=" + std::to_string(nSize) + (bIsFile ? " file " : "") +
                        (szPath ? szPath : ""));
    }
    // Steps until the plan is done; returns the bytes of each step.
    std::vector<size_t> Drive(CMultipartPlanA& plan, DWORD nDesired) {
        std::vector<size_t> steps;
        while (!plan.IsFinished() && steps.size() < 100000) {
            writes.emplace_back();
            plan.Step(nDesired, *this);
            size_t n = 0;
            for (const std::string& s : writes.back())
                n += s.size();
            steps.push_back(n);
        }
        return steps;
    }
    std::string Body() const {
        std::string s;
        for (const auto& step : writes)
            for (const std::string& w : step)
                s += w;
        return s;
    }
    std::vector<std::vector<std::string>> writes;
    std::vector<std::string> parts;
    DWORD nValueBytes = 0;
};

const std::string B = HTTPCLIENT_FIXED_BOUNDARY;

std::string TextPart(const std::string& sName, const std::string& sValue) {
    return "--" + B + "\r\nContent-Disposition: form-data; name=\"" + sName + "\"\r\n\r\n" + sValue + "\r\n";
}

}  // namespace

TEST(MultipartPlan, WorkedExampleStepByStep) {
    const std::string sPath = TempPath(".dmp");
    std::string sFile(1000, '\0');
    for (size_t i = 0; i < sFile.size(); ++i)
        sFile[i] = char(i * 7 + 1);
    ASSERT_TRUE(WriteBytes(sPath, sFile));
    CHttpClientMapA params;
    params.Add("file", sPath.c_str(), HTTPCLIENT_PARAM_FILE);
    params.Add("comment", "hello");

    CMultipartPlanA plan;
    plan.Build(params, B.c_str(), FALSE, CP_ACP, TRUE);
    EXPECT_EQ(plan.BodyLength(), 1321u + sPath.size() - 19);  // the example's path has 19 characters
    EXPECT_EQ(plan.ValueLength(), 1005u);
    EXPECT_EQ(plan.FileCount(), 1u);

    CRecorder rec;
    const std::vector<size_t> expected = {97, 7, 166 + (sPath.size() - 19), 1002, 49};
    EXPECT_EQ(rec.Drive(plan, 1024), expected);
    // A part header is one write; the value's last bytes and its CRLF come in the step that completes it.
    EXPECT_EQ(rec.writes[0].size(), 1u);
    EXPECT_EQ(rec.writes[2].size(), 1u);
    EXPECT_EQ(rec.writes[3].back(), "\r\n");
    EXPECT_EQ(rec.Body(), TextPart("comment", "hello") + "--" + B +
                              "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + sPath +
                              "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + sFile + "\r\n--" + B + "--\r\n");
    EXPECT_EQ(rec.Body().size(), plan.BodyLength());
    EXPECT_EQ(rec.nValueBytes, plan.ValueLength());
    EXPECT_EQ(rec.parts, (std::vector<std::string>{"comment=5", "file=1000 file " + sPath}));

    // The same file under a part-header file name of its own (escaped like a path).
    params.RemoveAll("file");
    params.Add("file", sPath.c_str(), HTTPCLIENT_PARAM_FILE, "C:\\\"r\".dmp");
    plan.Build(params, B.c_str(), FALSE, CP_ACP, TRUE);
    rec = CRecorder();
    rec.Drive(plan, 1024);
    EXPECT_EQ(rec.Body(), TextPart("comment", "hello") + "--" + B +
                              "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"C:\\%22r%22.dmp\"\r\n"
                              "Content-Type: application/octet-stream\r\n\r\n" +
                              sFile + "\r\n--" + B + "--\r\n");
    EXPECT_EQ(rec.Body().size(), plan.BodyLength());
    plan.Clear();
    EXPECT_TRUE(RemoveFile(sPath));
}

TEST(MultipartPlan, EmptyValuesNoPartsAndUtf8Names) {
    CRecorder rec;
    CMultipartPlanA plan;
    CHttpClientMapA params;
    plan.Build(params, B.c_str(), FALSE, CP_ACP, FALSE);
    EXPECT_EQ(rec.Drive(plan, 1), std::vector<size_t>{B.size() + 8});
    EXPECT_EQ(rec.Body(), "\r\n--" + B + "--\r\n");

    // An empty value: header and CRLF in one step. A missing file goes out empty when not strict.
    rec = CRecorder();
    params.Add("a", "");
    params.Add("b", "C:\\no\\such\\file.bin", HTTPCLIENT_PARAM_FILE);
    plan.Build(params, B.c_str(), FALSE, CP_ACP, FALSE);
    const std::vector<size_t> steps = rec.Drive(plan, 1);
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(rec.writes[0].size(), 2u);
    EXPECT_EQ(rec.Body(), TextPart("a", "") + "--" + B +
                              "\r\nContent-Disposition: form-data; name=\"b\"; filename=\"C:\\no\\such\\file.bin\""
                              "\r\nContent-Type: application/octet-stream\r\n\r\n\r\n--" +
                              B + "--\r\n");
    EXPECT_EQ(rec.Body().size(), plan.BodyLength());

    // Names and values in UTF-8 from code page 1252, measured and written in their wire form.
    rec = CRecorder();
    params.RemoveAll();
    params.Add("caf\xE9", "d\xE9j\xE0");
    plan.Build(params, B.c_str(), TRUE, 1252, FALSE);
    EXPECT_EQ(plan.ValueLength(), 6u);
    rec.Drive(plan, 4);
    EXPECT_EQ(rec.Body(), TextPart("caf\xC3\xA9", "d\xC3\xA9j\xC3\xA0") + "--" + B + "--\r\n");
    EXPECT_EQ(rec.Body().size(), plan.BodyLength());
}
