; FlashKit's Windows installer: the programs under Program Files, a Start menu entry, and the
; firewall rule that lets the recorders' BOOTP and TFTP requests in, removed again on uninstall.
; makensis -DVERSION=x.y.z -DSTAGE=folder -DOUTFILE=setup.exe flashkit.nsi
Unicode true
!include "MUI2.nsh"

Name "FlashKit ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\FlashKit"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\FlashKit"

; One rule per program, both under the name check looks for.
!macro FirewallRule program
    nsExec::Exec 'netsh advfirewall firewall add rule name="FlashKit" dir=in action=allow protocol=UDP localport=67,69 program="$INSTDIR\${program}"'
!macroend

Function .onInit
    SetRegView 64
FunctionEnd

Function un.onInit
    SetRegView 64
FunctionEnd

Section "FlashKit"
    SetOutPath "$INSTDIR"
    File /r "${STAGE}\*.*"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    IfFileExists "$INSTDIR\flashkit.exe" 0 no_window
        CreateShortCut "$SMPROGRAMS\FlashKit.lnk" "$INSTDIR\flashkit.exe"
        !insertmacro FirewallRule "flashkit.exe"
    no_window:
    !insertmacro FirewallRule "flashkit-cli.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "FlashKit"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
SectionEnd

Section "Uninstall"
    nsExec::Exec 'netsh advfirewall firewall delete rule name="FlashKit"'
    Delete "$SMPROGRAMS\FlashKit.lnk"
    RMDir /r "$INSTDIR"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
