; The Windows installer: one setup.exe for 64- and 32-bit Windows, per user
; (no administrator rights), Russian only.
;
;   makensis -V2 -WX -INPUTCHARSET UTF8 -DVERSION=0.05 -DSTAGE64=DIR -DSTAGE32=DIR
;            -DOUTFILE=FILE [-DICON=FILE] packaging/windows/quillmoth.nsi
;
; DIR and FILE are absolute paths: makensis works in this script's folder.
;
; The installer is a 32-bit program, so that one file runs on every Windows.
; -DTARGET=amd64-unicode makes a 64-bit one of the same script, for a Wine
; that runs 64-bit programs only.
;
; STAGE64 and STAGE32 hold the files of the x86_64 and i686 portable archives;
; the installer carries both and writes the one the machine runs. Nothing here
; depends on the time of the build: the same stage gives the same setup.exe.
;
; An upgrade keeps the user's config.ini and filters.qmf. A streamreader.dll or
; streamsplitter.dll already in the folder is replaced, and later removed, only
; when its version resource names it ours: the user may have put a real
; receiver's module of the same name there.
;
; The uninstaller must not take what was never ours, so the installer goes only
; into an empty (or new) folder or over an earlier installation, and writes
; into the folder a record (RECORD) of what it made there. There is one
; installation per user: the uninstall entry and the Start-menu shortcut are
; that one's, and another folder is refused while it exists.

!ifdef TARGET
  Target ${TARGET}
!endif
Unicode true
ManifestDPIAware true
RequestExecutionLevel user
SetCompressor /SOLID lzma
XPStyle on

!ifndef VERSION | STAGE64 | STAGE32 | OUTFILE
  !error "VERSION, STAGE64, STAGE32 and OUTFILE must be given (-DVERSION=... -DSTAGE64=... -DSTAGE32=... -DOUTFILE=...)"
!endif

!define PRODUCT "Quillmoth"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define WINDOW_CLASS "QUILLMOTH"
!define SHORTCUT "$SMPROGRAMS\${PRODUCT}.lnk"
; What the installer made in the folder. An INI file in UTF-16: one key per
; name that the installation may own, "1" when it made that name (or found it
; absent, for what the program makes later), "0" when it was there before.
!define RECORD "quillmoth-install.ini"
; The string of the version resource that tells our plug-ins from others.
!define OWN_PRODUCT_NAME_KEY "\StringFileInfo\041904B0\ProductName"

!include MUI2.nsh
!include LogicLib.nsh
!include x64.nsh
!include Sections.nsh
!include FileFunc.nsh

; ---------------------------------------------------------------------------
; The version: "0.05" -> 0.5.0.0 for the numeric fields of the version
; resource. A field is read as a decimal number behind a leading "1", since a
; leading zero would make it octal ("08" would not read at all).
!macro QM_DECIMAL_FIELD out field
  !define /math _qm_field 1${field} + 0
  !if ${_qm_field} >= 10000
    !define /math ${out} ${_qm_field} - 10000
  !else if ${_qm_field} >= 1000
    !define /math ${out} ${_qm_field} - 1000
  !else if ${_qm_field} >= 100
    !define /math ${out} ${_qm_field} - 100
  !else
    !define /math ${out} ${_qm_field} - 10
  !endif
  !undef _qm_field
!macroend
!searchparse /noerrors "${VERSION}.0.0.0" "" _QM_V1 "." _QM_V2 "." _QM_V3 "." _QM_V4 "."
!insertmacro QM_DECIMAL_FIELD VERSION_1 "${_QM_V1}"
!insertmacro QM_DECIMAL_FIELD VERSION_2 "${_QM_V2}"
!insertmacro QM_DECIMAL_FIELD VERSION_3 "${_QM_V3}"
!insertmacro QM_DECIMAL_FIELD VERSION_4 "${_QM_V4}"

Name "${PRODUCT}"
Caption "Установка ${PRODUCT} ${VERSION}"
UninstallCaption "Удаление ${PRODUCT}"
BrandingText "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
; An upgrade goes where the last installation went.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION_1}.${VERSION_2}.${VERSION_3}.${VERSION_4}"
VIFileVersion "${VERSION_1}.${VERSION_2}.${VERSION_3}.${VERSION_4}"
VIAddVersionKey /LANG=1049 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1049 "CompanyName" "${PRODUCT}"
VIAddVersionKey /LANG=1049 "FileDescription" "Установка ${PRODUCT} ${VERSION}"
VIAddVersionKey /LANG=1049 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1049 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1049 "LegalCopyright" "© 2026 ${PRODUCT}"

; ---------------------------------------------------------------------------
; Pages.
!define MUI_ABORTWARNING
; The program's own moth, drawn by the build (-DICON=.../quillmoth.ico).
!ifdef ICON
  !define MUI_ICON "${ICON}"
  !define MUI_UNICON "${ICON}"
!endif
!define MUI_UNABORTWARNING
; The details stay on the screen until the user goes on: they say which
; files were kept.
!define MUI_FINISHPAGE_NOAUTOCLOSE
!define MUI_UNFINISHPAGE_NOAUTOCLOSE

!define MUI_WELCOMEPAGE_TEXT "Эта программа установит ${PRODUCT} ${VERSION} на ваш компьютер.$\r$\n$\r$\nЕсли ${PRODUCT} уже установлен, он будет обновлён: ваши настройки (config.ini), фильтры (filters.qmf) и принятые файлы сохранятся.$\r$\n$\r$\n$_CLICK"
!insertmacro MUI_PAGE_WELCOME
!define MUI_DIRECTORYPAGE_TEXT_TOP "Программа будет установлена в указанную папку. Права администратора не нужны: папка должна быть доступна вам для записи, потому что там же хранятся настройки и принятые файлы. Папка должна быть новой или пустой либо той, где ${PRODUCT} уже установлен.$\r$\n$\r$\nЧтобы выбрать другую папку, нажмите кнопку «Обзор»."
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE LeaveDirectoryPage
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_FUNCTION RunProgram
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!define MUI_COMPONENTSPAGE_TEXT_TOP "Настройки, фильтры, журнал и папки tmp и ok с принятыми файлами остаются в папке программы. Чтобы удалить и их, отметьте второй пункт: удалится только созданное этой установкой."
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_PAGE_CUSTOMFUNCTION_SHOW un.HideSpaceText
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "Russian"

LangString RUNNING_TEXT ${LANG_RUSSIAN} "${PRODUCT} сейчас работает. Закройте программу и нажмите «Повторить»."
LangString NOT_WRITABLE_TEXT ${LANG_RUSSIAN} "В папку «$INSTDIR» нельзя записывать без прав администратора. Выберите папку в своём профиле, например ту, что предложена сначала."
LangString FOREIGN_KEPT ${LANG_RUSSIAN} "Оставлен как есть модуль другой программы: $R0"
LangString FOREIGN_NOT_REMOVED ${LANG_RUSSIAN} "Не удалён модуль другой программы: $R0"
LangString FOREIGN_FOLDER_TEXT ${LANG_RUSSIAN} "В папке «$INSTDIR» уже есть файлы, и это не установленный ${PRODUCT}. Программа хранит настройки и принятые файлы рядом с собой, поэтому ставится только в новую или пустую папку либо поверх прежней установки. Выберите другую папку."
LangString SUBFOLDER_OFFERED ${LANG_RUSSIAN} "В папке «$INSTDIR» уже есть файлы, и это не установленный ${PRODUCT}. Программа хранит настройки и принятые файлы рядом с собой, поэтому ставится только в новую или пустую папку либо поверх прежней установки.$\r$\n$\r$\nПредложена папка внутри неё: «$R1». Нажмите «Далее», чтобы установить туда, или выберите другую."
LangString OTHER_INSTALL_TEXT ${LANG_RUSSIAN} "${PRODUCT} уже установлен в папку «$R1». Новая версия ставится туда же, поверх прежней: настройки и принятые файлы сохранятся. Чтобы установить программу в другую папку, сначала удалите её («Параметры» → «Приложения» → «Установленные приложения»)."
LangString KEPT_NOT_OURS ${LANG_RUSSIAN} "Оставлено то, что было в папке до установки: $R0"
LangString KEPT_LINK ${LANG_RUSSIAN} "Оставлена папка-ссылка с её содержимым: $R0"

; ---------------------------------------------------------------------------
; Shared by the installer and the uninstaller ("un." functions).

; IsOurs and un.IsOurs: pop a path, push 1 when the file is absent or carries
; our version resource (ProductName "Quillmoth" in the Russian Unicode block),
; 0 otherwise: no version resource, no such block, or another product's name.
!macro QM_DEFINE_IS_OURS prefix
Function ${prefix}IsOurs
  Exch $R0
  Push $R1
  Push $R2
  Push $R3
  Push $R4
  Push $R5
  StrCpy $R5 0
  ${IfNot} ${FileExists} "$R0"
    StrCpy $R5 1
  ${Else}
    System::Call 'version::GetFileVersionInfoSizeW(w R0, *i 0) i .R1'
    ${If} $R1 > 0
      System::Alloc $R1
      Pop $R2
      ${If} $R2 <> 0
        System::Call 'version::GetFileVersionInfoW(w R0, i 0, i R1, p R2) i .R3'
        ${If} $R3 <> 0
          System::Call 'version::VerQueryValueW(p R2, w "${OWN_PRODUCT_NAME_KEY}", *p .R3, *i .R4) i .R1'
          ${If} $R1 <> 0
          ${AndIf} $R3 <> 0
          ${AndIf} $R4 > 0
            ; Copied with a bound: the value need not end inside the block.
            System::Call 'kernel32::lstrcpynW(w .R4, p R3, i 64)'
            ${If} $R4 S== "${PRODUCT}"
              StrCpy $R5 1
            ${EndIf}
          ${EndIf}
        ${EndIf}
        System::Free $R2
      ${EndIf}
    ${EndIf}
  ${EndIf}
  StrCpy $R0 $R5
  Pop $R5
  Pop $R4
  Pop $R3
  Pop $R2
  Pop $R1
  Exch $R0
FunctionEnd
!macroend
!insertmacro QM_DEFINE_IS_OURS ""
!insertmacro QM_DEFINE_IS_OURS "un."

; CheckNotRunning and un.CheckNotRunning: the program's plug-ins and
; executable are locked while it runs, so an installation over it would be
; half done. The user is asked to close it; a silent run ends with exit code 2.
!macro QM_DEFINE_CHECK_NOT_RUNNING prefix
Function ${prefix}CheckNotRunning
  Push $0
  ${Do}
    FindWindow $0 "${WINDOW_CLASS}"
    ${If} $0 = 0
      ${Break}
    ${EndIf}
    ${If} ${Silent}
      SetErrorLevel 2
      Quit
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(RUNNING_TEXT)" /SD IDCANCEL IDRETRY +2
    Quit
  ${Loop}
  Pop $0
FunctionEnd
!macroend
!insertmacro QM_DEFINE_CHECK_NOT_RUNNING ""
!insertmacro QM_DEFINE_CHECK_NOT_RUNNING "un."

; ---------------------------------------------------------------------------
; The installer.

!macro QM_INSTALL_FILE stage name
  File "${stage}/${name}"
  WriteINIStr "$INSTDIR\${RECORD}" "Made" "${name}" "1"
!macroend

; A plug-in is written when the folder has none of that name or ours.
!macro QM_INSTALL_PLUGIN stage name
  Push "$INSTDIR\${name}"
  Call IsOurs
  Pop $R0
  ${If} $R0 = 1
    !insertmacro QM_INSTALL_FILE "${stage}" ${name}
  ${Else}
    WriteINIStr "$INSTDIR\${RECORD}" "Made" "${name}" "0"
    StrCpy $R0 "$INSTDIR\${name}"
    DetailPrint "$(FOREIGN_KEPT)"
  ${EndIf}
!macroend

!macro QM_INSTALL_STAGE stage
  SetOverwrite on
  !insertmacro QM_INSTALL_FILE "${stage}" quillmoth.exe
  !insertmacro QM_INSTALL_FILE "${stage}" quillmoth-filters.exe
  !insertmacro QM_INSTALL_FILE "${stage}" tsdump.exe
  !insertmacro QM_INSTALL_FILE "${stage}" broadcast.exe
  !insertmacro QM_INSTALL_FILE "${stage}" ПРОЧТИ.txt
  !insertmacro QM_INSTALL_FILE "${stage}" LICENSE.txt
  !insertmacro QM_INSTALL_PLUGIN "${stage}" streamreader.dll
  !insertmacro QM_INSTALL_PLUGIN "${stage}" streamsplitter.dll
  ; The user's settings and filters stay as they are.
  SetOverwrite off
  File "${stage}/config.ini"
  File "${stage}/filters.qmf"
  SetOverwrite on
!macroend

; AddSize: pops a path and adds its size in bytes to $R9 (nothing when absent).
Function AddSize
  Exch $0
  Push $1
  Push $2
  ClearErrors
  FileOpen $1 "$0" r
  ${IfNot} ${Errors}
    FileSeek $1 0 END $2
    FileClose $1
    IntOp $R9 $R9 + $2
  ${EndIf}
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

!macro QM_ADD_SIZE name
  Push "$INSTDIR\${name}"
  Call AddSize
!macroend

; IsWritable: pushes 1 when a file can be made in $INSTDIR, 0 otherwise. A
; folder made only for the trial is taken away again (it is made anew by the
; installation), so that leaving the installer then leaves nothing behind.
Function IsWritable
  Push $0
  Push $1
  StrCpy $1 1
  ${IfNot} ${FileExists} "$INSTDIR\*.*"
    StrCpy $1 2
  ${EndIf}
  ClearErrors
  CreateDirectory "$INSTDIR"
  FileOpen $0 "$INSTDIR\quillmoth-write-trial.tmp" w
  ${If} ${Errors}
    StrCpy $0 0
  ${Else}
    FileClose $0
    Delete "$INSTDIR\quillmoth-write-trial.tmp"
    StrCpy $0 1
  ${EndIf}
  ${If} $1 = 2
    RMDir "$INSTDIR"
  ${EndIf}
  Pop $1
  Exch $0
FunctionEnd

; FolderState: pops a folder, pushes "empty" when it is absent or empty, "ours"
; when it holds an earlier installation (our record, or the uninstaller of an
; installer that wrote none, told by its version resource), "other" otherwise.
Function FolderState
  Exch $0
  Push $1
  Push $2
  Push $3
  StrCpy $1 "empty"
  ReadINIStr $2 "$0\${RECORD}" "${PRODUCT}" "Version"
  ${If} $2 != ""
    StrCpy $1 "ours"
  ${ElseIf} ${FileExists} "$0\uninstall.exe"
    Push "$0\uninstall.exe"
    Call IsOurs
    Pop $2
    ${If} $2 = 1
      StrCpy $1 "ours"
    ${Else}
      StrCpy $1 "other"
    ${EndIf}
  ${Else}
    ClearErrors
    FindFirst $2 $3 "$0\*.*"
    ${DoUntil} ${Errors}
      ${If} $3 != "."
      ${AndIf} $3 != ".."
        StrCpy $1 "other"
        ${Break}
      ${EndIf}
      FindNext $2 $3
    ${Loop}
    FindClose $2
  ${EndIf}
  StrCpy $0 $1
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

; RegisteredElsewhere: pushes the folder of the registered installation when it
; is still there and is not $INSTDIR, "" otherwise. A folder deleted by hand
; leaves its entry behind; that entry is taken over.
Function RegisteredElsewhere
  Push $0
  ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 == "$INSTDIR"
  ${OrIfNot} ${FileExists} "$0\uninstall.exe"
    StrCpy $0 ""
  ${EndIf}
  Exch $0
FunctionEnd

; The directory page's edit box.
Function SetDirectoryField
  Exch $0
  Push $1
  FindWindow $1 "#32770" "" $HWNDPARENT
  GetDlgItem $1 $1 1019
  SendMessage $1 ${WM_SETTEXT} 0 "STR:$0"
  Pop $1
  Pop $0
FunctionEnd

; The user chooses again instead of meeting an error per file (a folder such
; as Program Files cannot be written without administrator rights) or an
; installation that mixes with, and later takes, someone else's files.
Function LeaveDirectoryPage
  Call RegisteredElsewhere
  Pop $R1
  ${If} $R1 != ""
    MessageBox MB_OK|MB_ICONEXCLAMATION "$(OTHER_INSTALL_TEXT)"
    Push $R1
    Call SetDirectoryField
    Abort
  ${EndIf}
  Push "$INSTDIR"
  Call FolderState
  Pop $0
  ${If} $0 == "other"
    StrCpy $R1 "$INSTDIR\${PRODUCT}"
    Push $R1
    Call FolderState
    Pop $0
    ${If} $0 == "other"
      MessageBox MB_OK|MB_ICONEXCLAMATION "$(FOREIGN_FOLDER_TEXT)"
    ${Else}
      MessageBox MB_OK|MB_ICONEXCLAMATION "$(SUBFOLDER_OFFERED)"
      Push $R1
      Call SetDirectoryField
    ${EndIf}
    Abort
  ${EndIf}
  Call IsWritable
  Pop $0
  ${If} $0 = 0
    MessageBox MB_OK|MB_ICONEXCLAMATION "$(NOT_WRITABLE_TEXT)"
    Abort
  ${EndIf}
FunctionEnd

; QM_CLAIM NAME TEST: NAME becomes this installation's when TEST (NAME, or
; NAME\*.* for a folder) finds nothing there. Decided once, by the first
; installation into the folder: an upgrade finds the program's own files.
!macro QM_CLAIM name test
  ReadINIStr $0 "$INSTDIR\${RECORD}" "Made" "${name}"
  ${If} $0 == ""
    ${If} ${FileExists} "$INSTDIR\${test}"
      WriteINIStr "$INSTDIR\${RECORD}" "Made" "${name}" "0"
    ${Else}
      WriteINIStr "$INSTDIR\${RECORD}" "Made" "${name}" "1"
    ${EndIf}
  ${EndIf}
!macroend

; The record is begun before anything else is written: what is there now was
; there before this installation.
Function StartRecord
  ${IfNot} ${FileExists} "$INSTDIR\${RECORD}"
    StrCpy $1 1
    ${If} ${FileExists} "$INSTDIR\*.*"
      StrCpy $1 0
    ${EndIf}
    CreateDirectory "$INSTDIR"
    ; A UTF-16 file keeps the Cyrillic name of the read-me whatever the
    ; system's code page.
    FileOpen $0 "$INSTDIR\${RECORD}" w
    FileWriteWord $0 0xFEFF
    FileClose $0
    WriteINIStr "$INSTDIR\${RECORD}" "${PRODUCT}" "Folder" $1
  ${EndIf}
  WriteINIStr "$INSTDIR\${RECORD}" "${PRODUCT}" "Version" "${VERSION}"
  !insertmacro QM_CLAIM config.ini config.ini
  !insertmacro QM_CLAIM filters.qmf filters.qmf
  !insertmacro QM_CLAIM log.txt log.txt
  !insertmacro QM_CLAIM streamreader.ini streamreader.ini
  !insertmacro QM_CLAIM streamsplitter.ini streamsplitter.ini
  !insertmacro QM_CLAIM tmp "tmp\*.*"
  !insertmacro QM_CLAIM ok "ok\*.*"
FunctionEnd

Section "-Check"
  ; The user may have started the program while the pages were shown.
  Call CheckNotRunning
  ; A silent installation has no directory page to go back to. Nothing is
  ; written into a refused folder, not even the writing trial.
  ${If} ${Silent}
    Call RegisteredElsewhere
    Pop $R1
    Push "$INSTDIR"
    Call FolderState
    Pop $0
    ${If} $R1 != ""
    ${OrIf} $0 == "other"
      SetErrorLevel 2
      Quit
    ${EndIf}
    Call IsWritable
    Pop $0
    ${If} $0 = 0
      SetErrorLevel 2
      Quit
    ${EndIf}
  ${EndIf}
  Call StartRecord
SectionEnd

; One section per stage: the one this machine does not run is unselected in
; .onInit, so that the space asked for is that of the files written.
Section "-Files64" SecFiles64
  SetOutPath "$INSTDIR"
  !insertmacro QM_INSTALL_STAGE "${STAGE64}"
SectionEnd

!if ${NSIS_PTR_SIZE} <= 4
Section "-Files32" SecFiles32
  SetOutPath "$INSTDIR"
  !insertmacro QM_INSTALL_STAGE "${STAGE32}"
SectionEnd
!endif

Function .onInit
  Call CheckNotRunning
  !if ${NSIS_PTR_SIZE} <= 4
    ${If} ${RunningX64}
      !insertmacro UnselectSection ${SecFiles32}
    ${Else}
      !insertmacro UnselectSection ${SecFiles64}
    ${EndIf}
  !endif
FunctionEnd

Section "-Registration"
  SetOutPath "$INSTDIR"
  CreateDirectory "$INSTDIR\tmp"
  CreateDirectory "$INSTDIR\ok"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The program reads config.ini from its working folder: the shortcut
  ; starts it in the installation folder (the current output path).
  SetShellVarContext current
  CreateShortcut "${SHORTCUT}" "$INSTDIR\quillmoth.exe" "" "$INSTDIR\quillmoth.exe" 0 \
      SW_SHOWNORMAL "" "Приём файлов из спутниковой рассылки"

  ; Only what the installer wrote counts, not the received files.
  StrCpy $R9 0
  !insertmacro QM_ADD_SIZE quillmoth.exe
  !insertmacro QM_ADD_SIZE quillmoth-filters.exe
  !insertmacro QM_ADD_SIZE tsdump.exe
  !insertmacro QM_ADD_SIZE broadcast.exe
  !insertmacro QM_ADD_SIZE streamreader.dll
  !insertmacro QM_ADD_SIZE streamsplitter.dll
  !insertmacro QM_ADD_SIZE config.ini
  !insertmacro QM_ADD_SIZE filters.qmf
  !insertmacro QM_ADD_SIZE ПРОЧТИ.txt
  !insertmacro QM_ADD_SIZE LICENSE.txt
  !insertmacro QM_ADD_SIZE uninstall.exe
  IntOp $R9 $R9 + 1023
  IntOp $R9 $R9 / 1024

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\quillmoth.exe,0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $R9
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; "Run now" on the last page: in the installation folder, as the shortcut.
Function RunProgram
  SetOutPath "$INSTDIR"
  Exec '"$INSTDIR\quillmoth.exe"'
FunctionEnd

; ---------------------------------------------------------------------------
; The uninstaller: removes, by name, what the record says the installer made.
; The settings, the filters, the log and the received files stay unless the
; user ticks the second section (or gives /PURGE); then those of them that
; this installation made go, and nothing that was there before it. The record
; stays while the folder holds anything, so that a later installation knows
; the folder and what in it is whose; the folder goes only when the installer
; made it and it is left empty.

; QM_REMOVE_FILE NAME: a file the installer wrote.
!macro QM_REMOVE_FILE name
  ReadINIStr $R0 "$INSTDIR\${RECORD}" "Made" "${name}"
  ${If} $R0 == "1"
    Delete "$INSTDIR\${name}"
    DeleteINIStr "$INSTDIR\${RECORD}" "Made" "${name}"
  ${EndIf}
!macroend

; QM_REMOVE_PROGRAM NAME: an executable the installer wrote that still carries
; our version resource: a plug-in may have been replaced by a receiver's own.
!macro QM_REMOVE_PROGRAM name
  Push "$INSTDIR\${name}"
  Call un.IsOurs
  Pop $R0
  ${If} $R0 = 1
    !insertmacro QM_REMOVE_FILE ${name}
  ${Else}
    StrCpy $R0 "$INSTDIR\${name}"
    DetailPrint "$(FOREIGN_NOT_REMOVED)"
  ${EndIf}
!macroend

; QM_REMOVE_DATA NAME: a settings file or the log, when this installation made
; it (or found it absent, for what the program writes).
!macro QM_REMOVE_DATA name
  ReadINIStr $R0 "$INSTDIR\${RECORD}" "Made" "${name}"
  ${If} $R0 == "1"
    Delete "$INSTDIR\${name}"
    DeleteINIStr "$INSTDIR\${RECORD}" "Made" "${name}"
  ${ElseIf} ${FileExists} "$INSTDIR\${name}"
    StrCpy $R0 "$INSTDIR\${name}"
    DetailPrint "$(KEPT_NOT_OURS)"
  ${EndIf}
!macroend

; QM_REMOVE_FOLDER NAME: tmp\ or ok\ with what the program put in it, when
; this installation made the folder. A folder that was there before keeps
; everything in it: the received files in it may be anyone's. A folder
; replaced by a link is not followed.
!macro QM_REMOVE_FOLDER name
  ReadINIStr $R0 "$INSTDIR\${RECORD}" "Made" "${name}"
  ${If} $R0 == "1"
    ${un.GetFileAttributes} "$INSTDIR\${name}" "REPARSE_POINT" $R0
    ${If} $R0 = 1
      StrCpy $R0 "$INSTDIR\${name}"
      DetailPrint "$(KEPT_LINK)"
    ${Else}
      RMDir /r "$INSTDIR\${name}"
      DeleteINIStr "$INSTDIR\${RECORD}" "Made" "${name}"
    ${EndIf}
  ${ElseIf} ${FileExists} "$INSTDIR\${name}\*.*"
    StrCpy $R0 "$INSTDIR\${name}"
    DetailPrint "$(KEPT_NOT_OURS)"
  ${EndIf}
!macroend

; The space an uninstallation "needs" means nothing to the user.
Function un.HideSpaceText
  FindWindow $0 "#32770" "" $HWNDPARENT
  GetDlgItem $0 $0 1023
  ShowWindow $0 ${SW_HIDE}
FunctionEnd

Section "un.Программа ${PRODUCT}" SecUnProgram
  SectionIn RO
  Call un.CheckNotRunning
  !insertmacro QM_REMOVE_PROGRAM quillmoth.exe
  !insertmacro QM_REMOVE_PROGRAM quillmoth-filters.exe
  !insertmacro QM_REMOVE_PROGRAM tsdump.exe
  !insertmacro QM_REMOVE_PROGRAM broadcast.exe
  !insertmacro QM_REMOVE_PROGRAM streamreader.dll
  !insertmacro QM_REMOVE_PROGRAM streamsplitter.dll
  !insertmacro QM_REMOVE_FILE ПРОЧТИ.txt
  !insertmacro QM_REMOVE_FILE LICENSE.txt
  ; The entry and the shortcut are those of the registered installation,
  ; which need not be this one when an older installer made two.
  ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 == "$INSTDIR"
    SetShellVarContext current
    Delete "${SHORTCUT}"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
  ${EndIf}
  Delete "$INSTDIR\uninstall.exe"
SectionEnd

Section /o "un.Настройки и принятые файлы" SecUnData
  !insertmacro QM_REMOVE_DATA config.ini
  !insertmacro QM_REMOVE_DATA filters.qmf
  !insertmacro QM_REMOVE_DATA streamreader.ini
  !insertmacro QM_REMOVE_DATA streamsplitter.ini
  !insertmacro QM_REMOVE_DATA log.txt
  !insertmacro QM_REMOVE_FOLDER tmp
  !insertmacro QM_REMOVE_FOLDER ok
SectionEnd

Section "-un.Folder"
  ; Is anything left but the record?
  StrCpy $1 0
  ClearErrors
  FindFirst $2 $0 "$INSTDIR\*.*"
  ${DoUntil} ${Errors}
    ${If} $0 != "."
    ${AndIf} $0 != ".."
    ${AndIf} $0 != "${RECORD}"
      StrCpy $1 1
      ${Break}
    ${EndIf}
    FindNext $2 $0
  ${Loop}
  FindClose $2
  ${If} $1 = 0
    ReadINIStr $3 "$INSTDIR\${RECORD}" "${PRODUCT}" "Folder"
    Delete "$INSTDIR\${RECORD}"
    ${If} $3 == "1"
      RMDir "$INSTDIR"
    ${EndIf}
  ${Else}
    DetailPrint "Оставлена папка с вашими файлами: $INSTDIR"
  ${EndIf}
SectionEnd

; /PURGE ticks the second section: a silent uninstallation has no page for it.
Function un.onInit
  Call un.CheckNotRunning
  ${un.GetParameters} $0
  ClearErrors
  ${un.GetOptions} $0 "/PURGE" $1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecUnData}
  ${EndIf}
FunctionEnd
