// Every text id the program looks up, with the built-in default text it passes to __().
// An id looked up at two places with different defaults is listed once per default. The
// language files must carry a text for each id; texts used as printf formats must keep the
// conversion of their default (checked with ml_formatMatches).
#ifndef KEYMGR_MULTILANG_TEXT_IDS_H
#define KEYMGR_MULTILANG_TEXT_IDS_H

namespace tessel {

struct TextIdDefault {
    unsigned long id;
    const char* defaultText;
};

inline constexpr TextIdDefault kTextIds[] = {
    // Language list.
    {1000, "Chinese (Simplified)"},
    {1001, "Chinese (Traditional)"},
    {1002, "English"},
    // Device tree and device information.
    {30000, "Empty Device"},
    {30001, "Data Manager"},
    {30001, "Data Manger"},
    {30002, "DevList"},
    {30003, "Label"},
    {30004, "SerialNumber"},
    {30005, "Manufacturer"},
    {30006, "HWVersion"},
    {30007, "TotalSpace"},
    {30008, "FreeSpace"},
    {30009, "SOPIN MaxRetryCount"},
    {30010, "SOPIN RemainRetryCount"},
    {30011, "SOPIN DefaultPIN"},
    {30012, "USERPIN MaxRetryCount"},
    {30013, "USERPIN RemainRetryCount"},
    {30014, "USERPIN DefaultPIN"},
    {30015, "0(Locked)"},
    {30016, "YES"},
    {30017, "NO"},
    // Key pairs and keys in the certificate tree.
    {30018, "Encrypt&Decrypt(RSA1024)"},
    {30019, "Sign(RSA1024)"},
    {30020, "Public key"},
    {30021, "Private key"},
    {30022, "Encrypt&Decrypt(RSA2048)"},
    {30023, "Sign(RSA2048)"},
    {30024, "Encrypt&Decrypt(ECC128)"},
    {30025, "Sign(ECC128)"},
    {30026, "Encrypt&Decrypt(ECC256)"},
    {30027, "Sign(ECC256)"},
    // Input counter, export dialog, buttons.
    {30028, "Already input %d character"},
    {30029, "Export Certificate"},
    {30030, "OK"},
    {30030, "确认"},
    // Message dialog texts.
    {30036, "U Shield name is too long, please re-enter within 30 characters in length U Shield new name"},
    {30037, "Successfully verify the RUZ-Ururov password"},
    {30038, "Error in confirming the RUZ-Ururov password entry"},
    {30039, "RUZ-Ururov password locked"},
    {30040, "Failure in verifying RUZ-Ururov password %d"},
    {30041, "Successfully change the RUZ-Ururov password"},
    {30042, "Device label changed successfully"},
    {30043, "Operation failed"},
    {30044, "RUZ-Ururov change passwd cancel"},
    {30045, "RUZ-Ururov unblock success"},
    {30046, "RUZ-Ururov unblock fail"},
    {30047, "RUZ-Ururov initialize success"},
    {30048, "RUZ-Ururov initialize fail"},
    {30050, "Change device auth key success"},
    {30051, "Change device auth key fail"},
    {30052, "Device auth key length error"},
    {30053, "device auth failed"},
    {30054, "The new key does not match the old key"},
    {30065, "Please select a cert"},
    {30069, "The old and new RUZ-Ururov passwords are the same"},
    {30071, "U Key"},
    {30073, "The password does not contain any combination of numbers and letters"},
    {30077, "The password contains consecutive repeated letters or numbers. you may disregard this message to "
            "continue"},
    {30078, "The password entered is not long enough"},
    {30080, "continue"},
    {30081, "cancel"},
    {31000, "Object successfully deleted"},
    {31001, "It will be deleted!\r\nPlease make sure you want to continue this operation"},
    {31002, "please select a cert."},
    {31003, "import cert success."},
    {31004, "export cert success."},
    {31005, "cert not existes."},
    {31006, "import cert failed."},
    {31007, "export cert failed."},
    // Page titles, field labels and buttons.
    {32004, "Change User PIN"},
    {32004, "修改用户USBKEY密码"},
    {32005, "Old User PIN"},
    {32006, "New User PIN"},
    {32007, "Confirm User PIN"},
    {32009, "USB Info"},
    {32010, "Change Label"},
    {32011, "New Label"},
    {32012, "User PIN"},
    {32013, "Verify User PIN"},
    {32014, "Change DevAuthKey"},
    {32015, "Old DevAuthKey"},
    {32016, "New DevAuthKey"},
    {32017, "Confirm DevAuthKey"},
    {32018, "Initialize"},
    {32019, "Dev Auth Key"},
    {32020, "New SO PIN"},
    {32021, "New User PIN"},
    {32022, "New Label Name"},
    {32023, "Unblock User PIN"},
    {32024, "SO PIN"},
    {32025, "New User PIN"},
    {32026, "Confirm User PIN"},
    {32027, "Change Key"},
    {32028, "Initialize"},
    {32029, "Unblock PIN"},
    {32030, "Change Label"},
    {32031, "Change PIN"},
    {32032, "Verify PIN"},
    {32033, "View"},
    {32034, "Export"},
    {32035, "Delete"},
    {32036, "Import Certificate"},
    {32037, "Export Certificate"},
    {32038, "View Certificate"},
    {32039, "Delete Container"},
    {32040, "Change DevAuthKey"},
    {32041, "Please modify the device authentication key first"},
    {32044, "default"},
    {32045, "You are initializing Ukey, which will clear all data on Ukey. Do you want to continue?"},
    // Tray, password rule, token events, certificate expiry, clean-up, system options.
    {32046, "Title"},
    {32047, "显示主界面"},
    {32048, "退出"},
    {32049, "It is detected that the pin is the default pin. Click \"continue\" to modify"},
    {32050, "密码设置规则:6-16位字母+数字，示例:kv3939"},
    {32051, "Sorry, please don't use the combination of simple letter string and simple number string to set the "
            "password"},
    {32052, "RUZ-Ururov inserted"},
    {32053, "RUZ-Ururov removed"},
    {32054, "Your certificate will expire in %d days. \nPlease contact your administrator for certificate update."},
    {32055, "Your certificate has expired %ld days ago. \nPlease contact your administrator for certificate update."},
    {32056, "清除垃圾文件"},
    {32057, "清除垃圾文件成功"},
    {32058, "清除垃圾文件失败"},
    {32059, "系统选项"},
    // The empty-address hint of the system options dialog has an id of its own: under 32059,
    // the dialog's title, a language file could only show the title there.
    {32060, "请输入网址"},
    // The notice where the device tree is when the SKF library does not load or lacks functions.
    {33000, "The RUZ-Ururov driver library cannot be loaded:"},
    {33001, "The RUZ-Ururov driver library lacks functions this program needs:"},
    {33002, "Please install the RUZ-Ururov driver, then start this program again."},
    // Certificate tree.
    {70000, "Certificate"},
    {70001, "(container)"},
};

} // namespace tessel

#endif
