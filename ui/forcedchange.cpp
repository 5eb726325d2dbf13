#include "forcedchange.h"

#include "cDevMgr.h"
#include "messages.h"
#include "myMessageBox.h"
#include "namelist.h"

#include <QLabel>

#include <algorithm>
#include <vector>

bool tokenPresent(const std::string& device)
{
    CGMSKFOperator* skf = cDevMgr::getInst()->pSKF;
    if (!skf)
        return false;
    std::vector<std::string> devices;
    if (keymgr::fetchNameList([skf](LPSTR list, ULONG* size) { return skf->SKF_EnumDev(TRUE, list, size); },
                              &devices) != SAR_OK)
        return false;
    return std::find(devices.begin(), devices.end(), device) != devices.end();
}

ForcedChangeEnd forceUserPinChange(myMessageBox* box, const TokenChoice& choice)
{
    HandlesClosedAtEnd closed;
    for (;;) {
        box->setWarnMode(messages::kModeChangeForm, messages::kTitleChangePin, 0);
        if (box->exec() != 0)
            return ForcedChangeEnd::Left;
        // A token pulled out while the form was up would answer every try with "Operation failed".
        // One still present that cannot be opened failed this try, and the user is told so.
        if (cDevMgr::getInst()->open(choice) != SAR_OK) {
            box->emptyPinFields();
            if (!tokenPresent(choice.device))
                return ForcedChangeEnd::Removed;
            box->setWarnMode(messages::kModeFailed, messages::kTitleChangePin, 0);
            box->exec();
            continue;
        }
        if (QLabel* message = box->findChild<QLabel*>(QStringLiteral("lab_msg")))
            message->setVisible(true);
        if (box->btn_changePIN_ok() != 0)
            return ForcedChangeEnd::Done;
        if (!tokenPresent(choice.device))
            return ForcedChangeEnd::Removed;
    }
}
