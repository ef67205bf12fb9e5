; FlashKit's Windows installer, 64-bit: the programs under Program Files, Start menu entries for
; every user (the window, a command prompt in the install folder, the README, the uninstaller),
; the uninstall entry of Settings, and the firewall rule that lets the recorders' BOOTP and TFTP
; requests in for each program, made afresh on every install and removed again on uninstall.
; The user's history and remembered image paths are theirs and stay.
; makensis -DVERSION=x.y.z -DSTAGE=folder -DICON=flashkit.ico -DOUTFILE=setup.exe flashkit.nsi
Unicode true
Target amd64-unicode
!include "MUI2.nsh"
!include "FileFunc.nsh"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\FlashKit"
!define PUBLISHER "FlashKit developers"
!define MENU "$SMPROGRAMS\FlashKit"

Name "FlashKit ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\FlashKit"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_FINISHPAGE_RUN "$INSTDIR\flashkit.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start FlashKit"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "FlashKit"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "FileDescription" "FlashKit setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Copyright 2026 ${PUBLISHER}"

; A rule per program path, deleted before it is added: a reinstall leaves one, not two; what
; netsh answered goes into the details.
!macro FirewallRule program
    nsExec::ExecToLog '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="FlashKit" program="$INSTDIR\${program}"'
    Pop $0
    nsExec::ExecToLog '"$SYSDIR\netsh.exe" advfirewall firewall add rule name="FlashKit" dir=in action=allow protocol=UDP localport=67,69 program="$INSTDIR\${program}"'
    Pop $0
    StrCmp $0 "0" +3
        DetailPrint "The firewall rule for ${program} could not be added (netsh: $0): add it by hand, as flashkit-cli check says."
        Goto +2
        DetailPrint "The firewall rule for ${program} lets UDP 67 and 69 in."
!macroend

!macro RemoveFirewallRule program
    nsExec::ExecToLog '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="FlashKit" program="$INSTDIR\${program}"'
    Pop $0
!macroend

Function .onInit
    SetRegView 64
    SetShellVarContext all
FunctionEnd

Function un.onInit
    SetRegView 64
    SetShellVarContext all
FunctionEnd

Section "FlashKit"
    SetOutPath "$INSTDIR"
    File "${STAGE}\flashkit.exe"
    File "${STAGE}\flashkit-cli.exe"
    File "${STAGE}\README-Windows.txt"
    File "${STAGE}\LICENSE.txt"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    ; The shortcuts start in the install folder: the prompt's commands find flashkit-cli there.
    CreateDirectory "${MENU}"
    CreateShortCut "${MENU}\FlashKit.lnk" "$INSTDIR\flashkit.exe"
    CreateShortCut "${MENU}\FlashKit command prompt.lnk" "$SYSDIR\cmd.exe" \
        '/k "title FlashKit command prompt && flashkit-cli --help"' "$INSTDIR\flashkit-cli.exe"
    CreateShortCut "${MENU}\FlashKit README.lnk" "$INSTDIR\README-Windows.txt"
    CreateShortCut "${MENU}\Uninstall FlashKit.lnk" "$INSTDIR\uninstall.exe"

    !insertmacro FirewallRule "flashkit.exe"
    !insertmacro FirewallRule "flashkit-cli.exe"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "FlashKit"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\flashkit.exe,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" "$0"
SectionEnd

; Only what the installer put there: a file of the user's in the folder keeps the folder.
Section "Uninstall"
    !insertmacro RemoveFirewallRule "flashkit.exe"
    !insertmacro RemoveFirewallRule "flashkit-cli.exe"
    Delete "${MENU}\FlashKit.lnk"
    Delete "${MENU}\FlashKit command prompt.lnk"
    Delete "${MENU}\FlashKit README.lnk"
    Delete "${MENU}\Uninstall FlashKit.lnk"
    RMDir "${MENU}"
    Delete "$INSTDIR\flashkit.exe"
    Delete "$INSTDIR\flashkit-cli.exe"
    Delete "$INSTDIR\README-Windows.txt"
    Delete "$INSTDIR\LICENSE.txt"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
