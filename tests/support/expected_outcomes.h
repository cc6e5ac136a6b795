// The texts that end an installation or an uninstallation, written out independently of the
// installer's code so the end-to-end tests catch a changed word.
#pragma once

inline constexpr wchar_t kCompleted[] = L"インストール作業が正常に完了しました。";
inline constexpr wchar_t kInterrupted[] =
    L"インストール作業が中断されました。\n\nインストール途中のファイルは破損しています。\nインストール作業を完了させてからア"
    L"ンインストールを行うか、手動で削除して下さい。";
inline constexpr wchar_t kUninstalled[] =
    L"アンインストールが終了しました。\n\n一部残ってるファイルは、手動で削除して下さい。";
