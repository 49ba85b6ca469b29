// Sends two form fields as an application/x-www-form-urlencoded POST and prints the server's
// status, its Content-Type and its answer.
// Usage: post URL
#include <cstdio>
#include <memory>

#include "client.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: post URL\n");
        return 2;
    }
    try {
        Tavon::CHttpClientA client;
        client.SetSessionSettings("Example poster");
        client.SetTimeouts(10000, 10000, 10000);
        client.AddParam("product", "Quilla");
        client.AddParam("comment", "crashed twice & restarted");  // encoded by the client
        client.StartPost(argv[1]);

        std::unique_ptr<Tavon::CHttpResponseA> pResponse;
        while (!pResponse)
            pResponse.reset(client.ProceedStep(1024));

        const char* szType = pResponse->GetHeader("Content-Type");
        std::printf("%lu %s\n%s\n", pResponse->GetStatus(), pResponse->GetStatusText(), szType ? szType : "(no type)");
        BYTE abyBuff[4096];
        while (DWORD cbRead = pResponse->ReadContent(abyBuff, sizeof(abyBuff)))
            std::fwrite(abyBuff, 1, cbRead, stdout);
        return pResponse->GetStatus() / 100 == 2 ? 0 : 1;
    } catch (const Tavon::httpclientexceptionA& e) {
        std::fprintf(stderr, "post failed: %s (error %lu, last error %lu)\n", e.GetErrorMessage(), e.GetErrorCode(),
                     e.GetWin32LastError());
        return 1;
    }
}
