// Every text the bootstrapper can show the user, in one place, exactly as it
// appears in the message box captioned "KORVANTHELM". The operations that
// throw one name it from here; the tests compare against these entries.
#pragma once

namespace korvanthelm {

// The run sequence.
inline constexpr const wchar_t kTempUnavailable[] = L"Недоступна временная папка Windows.";
inline constexpr const wchar_t kPrepareFailed[] = L"Не удалось подготовить пакет лаунчера.";
// A launch result other than 0, as LaunchFailureMessage puts it together:
// prefix, the result in decimal, infix, the work directory, suffix.
inline constexpr const wchar_t kLaunchFailedPrefix[] = L"Не удалось запустить лаунчер (код ";
inline constexpr const wchar_t kLaunchFailedInfix[] = L"): ";
inline constexpr const wchar_t kLaunchFailedSuffix[] =
    L". Проверьте журнал защиты Windows и передайте разработчику имя обнаруженной угрозы.";

// SHA-256 digests.
inline constexpr const wchar_t kSha256Unavailable[] = L"Недоступна проверка SHA-256 Windows.";
inline constexpr const wchar_t kSha256Failed[] = L"Не удалось проверить SHA-256 лаунчера.";

// The work directory.
inline constexpr const wchar_t kWorkDirectoryFailed[] =
    L"Не удалось создать временную папку установщика.";

// The package resource and its table.
inline constexpr const wchar_t kPackageMissing[] = L"Повреждён установщик лаунчера: нет данных.";
inline constexpr const wchar_t kPackageCorrupt[] = L"Повреждён установщик лаунчера.";
inline constexpr const wchar_t kPackageDigestMismatch[] =
    L"Не совпала контрольная сумма пакета лаунчера.";
inline constexpr const wchar_t kPackageDecompressFailed[] = L"Не удалось распаковать лаунчер.";

// The package's entries and their extraction.
inline constexpr const wchar_t kUnsafeWorkDirectory[] =
    L"Небезопасная временная папка установщика.";
inline constexpr const wchar_t kBadEntryPath[] = L"Повреждён путь в пакете лаунчера.";
inline constexpr const wchar_t kUnsafeEntryPath[] = L"Небезопасный путь в пакете лаунчера.";
inline constexpr const wchar_t kDuplicateEntryPath[] = L"Повторяющийся путь в пакете лаунчера.";
inline constexpr const wchar_t kFolderFailed[] = L"Не удалось создать папку лаунчера.";
inline constexpr const wchar_t kWriteFailed[] =
    L"Не удалось записать файлы лаунчера во временную папку.";
inline constexpr const wchar_t kTrailingData[] = L"Лишние данные в пакете лаунчера.";

}  // namespace korvanthelm
