// Uploads one file as the form field "file" of a multipart/form-data POST, with a text field
// beside it, and prints the server's status and text answer.
// Usage: upload URL FILE
#include <cstdio>
#include <memory>

#include "client.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: upload URL FILE\n");
        return 2;
    }
    try {
        Tavon::CHttpClientA client;
        client.SetSessionSettings("Example uploader");
        client.AddParam("note", "sent by the upload example");
        client.AddParam("file", argv[2], Tavon::HTTPCLIENT_PARAM_FILE);
        client.StartUpload(argv[1]);

        // Each step writes one part header, up to 56 KiB of a value or file, or the closing boundary.
        std::unique_ptr<Tavon::CHttpResponseA> pResponse;
        Tavon::CHttpPostStatA stat;
        while (!pResponse) {
            pResponse.reset(client.ProceedStep(56 * 1024));
            if (!pResponse) {
                client.GetPostStat(stat);
                std::printf("sent %lu of %lu bytes\n", stat.ActualPostedByte(), stat.ActualTotalByte());
            }
        }

        std::printf("%lu %s\n", pResponse->GetStatus(), pResponse->GetStatusText());
        BYTE abyBuff[4096];
        while (DWORD cbRead = pResponse->ReadContent(abyBuff, sizeof(abyBuff)))
            std::fwrite(abyBuff, 1, cbRead, stdout);
        return pResponse->GetStatus() / 100 == 2 ? 0 : 1;
    } catch (const Tavon::httpclientexceptionA& e) {
        // Every failure of the library arrives here: the code says which step failed, the last
        // error says why (a WinInet or Win32 error number).
        std::fprintf(stderr, "upload failed: %s (error %lu, last error %lu)\n", e.GetErrorMessage(), e.GetErrorCode(),
                     e.GetWin32LastError());
        return 1;
    }
}
