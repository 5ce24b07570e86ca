#include "control/control.h"

#include <string.h>

#include "control/command_text.h"
#include "registry/port_table.h"

static void SendControlMessage(HWND helper, CommandCode code, const char *argument)
{
    char block[kPayloadSize];
    BuildPayload(argument, block);
    COPYDATASTRUCT cds;
    cds.dwData = kControlTag;
    cds.cbData = kPayloadSize;
    cds.lpData = block;
    // Returns once the helper has handled the command (after any notification pass it
    // is in); what it returns means nothing.
    SendMessageA(helper, WM_COPYDATA, code, reinterpret_cast<LPARAM>(&cds));
}

bool HandleCommandLine(const char *text)
{
    if (text == nullptr)
        text = "";
    // The search comes first and is made for every launch, command or not.
    HWND helper = FindWindowA(kHelperClassName, nullptr);
    ClearPorts();

    const char *argument = nullptr;
    CommandCode code = RecognizeCommand(text, &argument);
    if (code == kCommandNone)
        return false;
    if (code == kCommandStart)
        AddPort(ParseDecimal(argument, strlen(argument)));
    if (helper != nullptr) {
        SendControlMessage(helper, code, argument);
        return false;
    }
    return code == kCommandStart;
}

void OnCopyData(HWND window, WPARAM code, const COPYDATASTRUCT *data)
{
    const void *payload = data != nullptr ? data->lpData : nullptr;
    size_t size = data != nullptr ? data->cbData : 0;
    if (ApplyCommand(code, payload, size) == kEffectClose)
        PostMessageA(window, WM_CLOSE, 0, 0);
}
