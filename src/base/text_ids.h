// Every text a user reads (or hears through a screen reader), by key, with its number in the
// language tables' string tables. A key keeps its number for good; a retired number is not given
// to another text. Read by the C++ build (texts.h makes the TextId enumeration from it), by the
// resource build (which needs the numbers) and by tools/texts/check_texts.py.
//
// Texts that the same English word serves in two places have two keys when another language may
// word the places differently ("Install" the stage and "Install" the button).
#pragma once

// clang-format off
#define ZS_TEXT_IDS(X) \
  /* Which language a table is: its tag, as /lang= and Windows name it. */ \
  X(LanguageTag, 1) \
  /* The window's frame. */ \
  X(WindowTitleInstall, 2) \
  X(WindowTitleUninstall, 3) \
  X(VersionLine, 4) \
  X(HeaderInstall, 5) \
  X(HeaderUninstall, 6) \
  /* The rail: stage names and their sub-lines. */ \
  X(RailWelcome, 10) \
  X(RailOptions, 11) \
  X(RailInstall, 12) \
  X(RailFinish, 13) \
  X(RailConfirm, 14) \
  X(RailRemove, 15) \
  X(RailLicenseAgreement, 16) \
  X(RailAccepted, 17) \
  X(RailFolderAndShortcuts, 18) \
  X(RailSet, 19) \
  X(RailCopyAndOptimize, 20) \
  X(RailDone, 21) \
  X(RailStopped, 22) \
  X(RailFailed, 23) \
  X(RailReadyToOpen, 24) \
  X(RailRemoveFromPc, 25) \
  X(RailConfirmed, 26) \
  X(RailFilesAndShortcuts, 27) \
  X(RailAllDone, 28) \
  /* Page titles. */ \
  X(TitleWelcome, 40) \
  X(TitleOptions, 41) \
  X(TitleInstalling, 42) \
  X(TitleRollingBack, 43) \
  X(TitleReady, 44) \
  X(TitleStopped, 45) \
  X(TitleFailed, 46) \
  X(TitleIncomplete, 47) \
  X(TitleCantInstallYet, 48) \
  X(TitleCantInstall, 49) \
  X(TitleCantStart, 50) \
  X(TitleUninstall, 51) \
  X(TitleRemoving, 52) \
  X(TitleRemoved, 53) \
  X(TitleAlmostDone, 54) \
  X(TitleCantUninstall, 55) \
  /* The message pages' paragraphs, notes and badges. */ \
  X(MsgStopped, 60) \
  X(MsgFailed, 61) \
  X(MsgIncomplete, 62) \
  X(MsgOldWindows, 63) \
  X(MsgNoDotNet, 64) \
  X(MsgNoDotNetHelp, 65) \
  X(MsgDamaged, 66) \
  X(MsgNewerInstalled, 67) \
  X(MsgMsiCopy, 68) \
  X(MsgBadSwitch, 69) \
  X(MsgConfirmUninstall, 70) \
  X(MsgRemoved, 71) \
  X(MsgAlmostDone, 72) \
  X(MsgCantUninstall, 73) \
  X(NoteKeepSettings, 74) \
  X(BadgeInstalled, 75) \
  X(BadgeRemoved, 76) \
  /* The welcome and options pages. */ \
  X(LicenseIntro, 80) \
  X(AcceptLicense, 81) \
  X(LicenseBoxName, 82) \
  X(FolderLabel, 83) \
  X(Browse, 84) \
  X(ClosingAppTitle, 85) \
  X(ClosingAppDetail, 86) \
  /* The progress pages. */ \
  X(StepSkipped, 90) \
  X(Percent, 91) \
  X(RestoringTitle, 92) \
  X(RestoringDetail, 93) \
  X(StepCopyingFiles, 94) \
  X(StepCopyingFilesDetail, 95) \
  X(StepShortcuts, 96) \
  X(StepShortcutsDetail, 97) \
  X(StepOptimizing, 98) \
  X(StepOptimizingDetail, 99) \
  X(StepChecking, 100) \
  X(StepCheckingDetail, 101) \
  X(StepWarmingUp, 102) \
  X(StepWarmingUpDetail, 103) \
  X(StepRemovingImages, 104) \
  X(StepRemovingImagesDetail, 105) \
  X(StepRemovingShortcuts, 106) \
  X(StepRemovingShortcutsDetail, 107) \
  X(StepRemovingFiles, 108) \
  X(StepRemovingFilesDetail, 109) \
  /* The ready page. */ \
  X(ReadyOptimized, 112) \
  X(ReadyNotOptimized, 113) \
  X(ReadyInstalledTo, 114) \
  X(ReadyStartUp, 115) \
  X(ReadyStartUpOptimized, 116) \
  X(ReadyStartUpNotOptimized, 117) \
  /* Buttons and the link under the page. */ \
  X(ButtonCancel, 120) \
  X(ButtonNext, 121) \
  X(ButtonBack, 122) \
  X(ButtonInstall, 123) \
  X(ButtonClose, 124) \
  X(ButtonOpenApp, 125) \
  X(ButtonUninstall, 126) \
  X(LinkDownload, 127) \
  X(LinkUninstallLog, 128) \
  X(LinkInstallLog, 129) \
  /* Questions: title, body and answers. */ \
  X(AskAppOpenTitle, 140) \
  X(AskAppOpenBody, 141) \
  X(AskAppOpenYes, 142) \
  X(AskAppDidNotCloseTitle, 143) \
  X(AskAppDidNotCloseBody, 144) \
  X(AskTryAgain, 145) \
  X(AskStopTitle, 146) \
  X(AskStopBody, 147) \
  X(AskStopYes, 148) \
  X(AskStopNo, 149) \
  X(AskFileInUseTitle, 150) \
  X(AskFileInUseBody, 151) \
  X(AskCouldNotOpenTitle, 152) \
  X(AskCouldNotOpenBody, 153) \
  /* Why an install failed, as the failure page says it. */ \
  X(FailWrite, 160) \
  X(FailDiskFull, 161) \
  X(FailRegistry, 162) \
  X(FailDamaged, 163) \
  X(FailFileInUse, 164) \
  X(FailUnexpected, 165) \
  /* Why a folder is refused. */ \
  X(FolderEmpty, 170) \
  X(FolderNotFull, 171) \
  X(FolderBadCharacters, 172) \
  X(FolderTooLong, 173) \
  X(FolderForbidden, 174) \
  X(FolderDriveUnavailable, 175) \
  X(FolderProjects, 176) \
  X(FolderNotEnoughSpace, 177) \
  X(FolderIsFile, 178) \
  X(FolderControlCharacters, 179) \
  X(FolderColonOrSlash, 180) \
  X(FolderDoubleBackslash, 181) \
  X(FolderDots, 182) \
  X(FolderTrailingDotOrSpace, 183) \
  X(FolderDeviceName, 184) \
  /* Plain mode's own lines (its message boxes join paragraphs with a blank line). */ \
  X(PlainAcceptLicense, 190) \
  X(PlainAskDownload, 191) \
  X(PlainAskCloseApp, 192) \
  X(PlainAskOpenApp, 193) \
  X(PlainInstalledTo, 194) \
  X(PlainLogAt, 195) \
  /* What a screen reader says beyond the drawn texts. */ \
  X(A11yPress, 200) \
  X(A11yJump, 201) \
  X(A11yCheck, 202) \
  X(A11yUncheck, 203) \
  X(A11yStepDone, 204) \
  X(A11yStepNotStarted, 205) \
  X(A11yStageCurrent, 206) \
  X(A11yStageDone, 207) \
  X(A11yStageFailed, 208) \
  X(A11yStageNotYet, 209) \
  X(A11ySteps, 210) \
  X(A11yCloseButton, 211) \
  X(A11yCloseSetup, 212) \
  X(A11yCloseUninstaller, 213)
// clang-format on
