; Tavrin's installer: a per-user install that needs no administrator
; rights. It puts tavrin.exe into the user's local programs folder, adds a
; Start-menu shortcut, optionally a Startup shortcut (checked by default),
; and the entry in the user's list of installed programs. Optionally (off by
; default, or /KEYS on its command line) it sets Tavrin to type as key
; presses; an upgrade keeps that choice. The uninstaller
; stops a running Tavrin, removes all of that, and keeps the user's
; settings unless asked to remove them (its components page, or
; /REMOVESETTINGS on its command line).
;
; Built by packaging/make-installer, which passes:
;   TAVRIN_EXE   the tavrin.exe to install
;   OUTFILE      the installer to write
;   TARGET       x86-unicode (the shipped installer) or amd64-unicode
;   ROOT         the source tree (for src/version.h and LICENSE)
; The file is UTF-8; make-installer tells makensis so.

Unicode true
Target ${TARGET}
SetCompressor /SOLID lzma
; Stored file times would make every build of the same tree differ.
SetDateSave off

!searchparse /file "${ROOT}/src/version.h" `#define TAVRIN_VERSION_TEXT "` VERSION `"`
!searchparse /file "${ROOT}/src/version.h" `#define TAVRIN_PRODUCT_NAME "` PRODUCT `"`
!searchparse /file "${ROOT}/src/version.h" `#define TAVRIN_COMPANY_NAME "` COMPANY `"`
!searchparse /file "${ROOT}/src/version.h" `#define TAVRIN_COPYRIGHT_YEARS "` YEARS `"`

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tavrin"
; The program's own key; its Settings subkey holds the port and speed, and
; Keys, which Tavrin reads but never writes: 1 (a 4-byte REG_DWORD, as Tavrin
; reads it) types as key presses, anything else or none as characters.
!define VENDOR_KEY "Software\Quorvel"
!define PROGRAM_KEY "Software\Quorvel\Tavrin"
!define SETTINGS_KEY "Software\Quorvel\Tavrin\Settings"
; The class of Tavrin's hidden window.
!define WINDOW_CLASS "TavrinWindow"
!define KEY_QUERY_VALUE 0x0001

Name "${PRODUCT}"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\Tavrin"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WinMessages.nsh
!include WinCore.nsh

!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_LANGDLL_REGISTRY_ROOT HKCU
!define MUI_LANGDLL_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MUI_LANGDLL_REGISTRY_VALUENAME "Installer Language"

!define MUI_FINISHPAGE_RUN "$INSTDIR\tavrin.exe"
!define MUI_FINISHPAGE_RUN_TEXT "$(RunNow)"

!define MUI_PAGE_CUSTOMFUNCTION_SHOW WidenComponents
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Russian"

LangString ProgramSection ${LANG_ENGLISH} "Tavrin"
LangString ProgramSection ${LANG_RUSSIAN} "Tavrin"
LangString StartupSection ${LANG_ENGLISH} "Start Tavrin when I log on"
LangString StartupSection ${LANG_RUSSIAN} "Запускать Tavrin при входе в систему"
LangString KeysSection ${LANG_ENGLISH} "Type as key presses, for programs that ignore the scanner's Enter"
LangString KeysSection ${LANG_RUSSIAN} "Вводить как нажатия клавиш, для программ, которые не принимают Enter сканера"
LangString RemoveSettingsSection ${LANG_ENGLISH} "Also remove my settings (port, speed and typing)"
LangString RemoveSettingsSection ${LANG_RUSSIAN} "Удалить и мои настройки (порт, скорость, ввод)"
LangString RunNow ${LANG_ENGLISH} "Start Tavrin now"
LangString RunNow ${LANG_RUSSIAN} "Запустить Tavrin"
LangString StillRunning ${LANG_ENGLISH} "Tavrin is still running and could not be closed.$\r$\nClose it with the Close command of its notification-area icon, then choose Retry."
LangString StillRunning ${LANG_RUSSIAN} "Tavrin всё ещё работает, и закрыть его не удалось.$\r$\nЗакройте его командой Close в меню значка в области уведомлений и нажмите «Повтор»."
LangString ClosingTavrin ${LANG_ENGLISH} "Closing the running Tavrin..."
LangString ClosingTavrin ${LANG_RUSSIAN} "Закрывается работающий Tavrin..."

VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${COMPANY}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "© ${YEARS} ${COMPANY}"

; Asks every running Tavrin to end the orderly way: WM_CLOSE to its hidden
; window ends its message loop, and it saves its settings, removes its icon
; and exits. Waits up to 5 s for each process; gives up after 10 copies.
; Leaves $0 at 0 when none is left running.
!macro DEFINE_CLOSE_TAVRIN prefix
Function ${prefix}CloseTavrin
    Push $1
    Push $2
    Push $3
    StrCpy $3 0
    ${Do}
        FindWindow $0 "${WINDOW_CLASS}"
        ${If} $0 == 0
        ${OrIf} $3 >= 10
            ${Break}
        ${EndIf}
        DetailPrint "$(ClosingTavrin)"
        System::Call "user32::GetWindowThreadProcessId(p r0, *i .r1)"
        ; SYNCHRONIZE, to wait for the process to end.
        System::Call "kernel32::OpenProcess(i 0x00100000, i 0, i r1) p .r2"
        SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=5000
        ${If} $2 P<> 0
            System::Call "kernel32::WaitForSingleObject(p r2, i 5000)"
            System::Call "kernel32::CloseHandle(p r2)"
        ${Else}
            Sleep 1000
        ${EndIf}
        IntOp $3 $3 + 1
    ${Loop}
    Pop $3
    Pop $2
    Pop $1
FunctionEnd

Function ${prefix}StopTavrin
    ${Do}
        Call ${prefix}CloseTavrin
        ${If} $0 == 0
            ${Break}
        ${EndIf}
        MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(StillRunning)" /SD IDCANCEL IDRETRY retry
        Abort
      retry:
    ${Loop}
FunctionEnd
!macroend
!insertmacro DEFINE_CLOSE_TAVRIN ""
!insertmacro DEFINE_CLOSE_TAVRIN "un."

Section "$(ProgramSection)" SecProgram
    SectionIn RO
    Call StopTavrin
    SetOutPath "$INSTDIR"
    File "/oname=tavrin.exe" "${TAVRIN_EXE}"
    File "/oname=LICENSE.txt" "${ROOT}/LICENSE"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    CreateShortcut "$SMPROGRAMS\Tavrin.lnk" "$INSTDIR\tavrin.exe" "" "$INSTDIR\tavrin.exe" 0
    ; The next section puts it back if it stays chosen.
    Delete "$SMSTARTUP\Tavrin.lnk"

    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${COMPANY}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\tavrin.exe,0"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "$(StartupSection)" SecStartup
    CreateShortcut "$SMSTARTUP\Tavrin.lnk" "$INSTDIR\tavrin.exe" "" "$INSTDIR\tavrin.exe" 0
SectionEnd

; 1 when .onInit found Keys = 1 stored, else 0.
Var KeysFound

Section /o "$(KeysSection)" SecKeys
    WriteRegDWORD HKCU "${SETTINGS_KEY}" "Keys" 1
SectionEnd

; Unticked on an upgrade that found Keys = 1: the user's choice. A Keys
; value the installer did not find as 1 is not its to change.
Section "-KeysOff"
    ${If} $KeysFound == 1
    ${AndIfNot} ${SectionIsSelected} ${SecKeys}
        DeleteRegValue HKCU "${SETTINGS_KEY}" "Keys"
    ${EndIf}
SectionEnd

; Keys = 1 as Tavrin reads it: a 4-byte REG_DWORD (ReadRegDWORD would
; also take a REG_SZ "1"). Sets $KeysFound.
Function FindKeys
    StrCpy $KeysFound 0
    System::Call "advapi32::RegOpenKeyExW(p ${HKEY_CURRENT_USER}, w '${SETTINGS_KEY}', i 0, i ${KEY_QUERY_VALUE}, *p .r1) i .r0"
    ${If} $0 == 0
        System::Call "advapi32::RegQueryValueExW(p r1, w 'Keys', p 0, *i .r2, *i .r3, *i 4 r4) i .r0"
        System::Call "advapi32::RegCloseKey(p r1)"
        ${If} $0 == 0
        ${AndIf} $2 == ${REG_DWORD}
        ${AndIf} $4 == 4
        ${AndIf} $3 == 1
            StrCpy $KeysFound 1
        ${EndIf}
    ${EndIf}
FunctionEnd

; The key-press option's name is wider than the page's tree: the tree takes
; the page's width, in place of its caption beside it (the page's text above
; says the same), down to the space required.
Function WidenComponents
    System::Call "*(i, i, i, i) p .r9"
    System::Call "user32::GetWindowRect(p $mui.ComponentsPage.ComponentsText, p r9)"
    System::Call "user32::MapWindowPoints(p 0, p $mui.ComponentsPage, p r9, i 2)"
    System::Call "*$9(i .r1, i, i, i)"
    System::Call "user32::GetWindowRect(p $mui.ComponentsPage.Components, p r9)"
    System::Call "user32::MapWindowPoints(p 0, p $mui.ComponentsPage, p r9, i 2)"
    System::Call "*$9(i, i .r2, i .r3, i)"
    System::Call "user32::GetWindowRect(p $mui.ComponentsPage.SpaceRequired, p r9)"
    System::Call "user32::MapWindowPoints(p 0, p $mui.ComponentsPage, p r9, i 2)"
    System::Call "*$9(i, i .r4, i, i)"
    System::Free $9
    ShowWindow $mui.ComponentsPage.ComponentsText ${SW_HIDE}
    IntOp $3 $3 - $1
    IntOp $4 $4 - $2
    ; SWP_NOZORDER | SWP_NOACTIVATE
    System::Call "user32::SetWindowPos(p $mui.ComponentsPage.Components, p 0, i r1, i r2, i r3, i r4, i 0x14)"
FunctionEnd

Function .onInit
    SetShellVarContext current
    !insertmacro MUI_LANGDLL_DISPLAY
    ; Keys = 1 found starts the option ticked, so that an upgrade keeps it.
    Call FindKeys
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/KEYS" $1
    ${IfNot} ${Errors}
    ${OrIf} $KeysFound == 1
        SectionSetFlags ${SecKeys} ${SF_SELECTED}
    ${EndIf}
FunctionEnd

Section "un.$(ProgramSection)" SecUnProgram
    SectionIn RO
    Call un.StopTavrin
    Delete "$SMPROGRAMS\Tavrin.lnk"
    Delete "$SMSTARTUP\Tavrin.lnk"
    Delete "$INSTDIR\tavrin.exe"
    Delete "$INSTDIR\LICENSE.txt"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd

Section /o "un.$(RemoveSettingsSection)" SecRemoveSettings
    DeleteRegKey HKCU "${SETTINGS_KEY}"
    DeleteRegKey /ifempty HKCU "${PROGRAM_KEY}"
    DeleteRegKey /ifempty HKCU "${VENDOR_KEY}"
SectionEnd

Function un.onInit
    SetShellVarContext current
    !insertmacro MUI_UNGETLANGUAGE
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/REMOVESETTINGS" $1
    ${IfNot} ${Errors}
        SectionSetFlags ${SecRemoveSettings} ${SF_SELECTED}
    ${EndIf}
FunctionEnd
