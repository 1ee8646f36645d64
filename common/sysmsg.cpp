#include "common/sysmsg.h"

#include <cstdio>

namespace quorvel {
namespace {

struct MessageEntry {
    Win32Error code;
    const char *text;
};

// ERROR_ELEVATION_REQUIRED: not in every SDK's headers.
constexpr Win32Error kErrorElevationRequired = 740;

// Keep in step with the table in docs/control-protocol.md.
constexpr MessageEntry kMessages[] = {
    {ERROR_SUCCESS, "Операция успешно завершена."},
    {ERROR_INVALID_FUNCTION, "Неверная функция."},
    {ERROR_FILE_NOT_FOUND, "Не удается найти указанный файл."},
    {ERROR_PATH_NOT_FOUND, "Не удается найти указанный путь."},
    {ERROR_ACCESS_DENIED, "Отказано в доступе."},
    {ERROR_INVALID_HANDLE, "Неверный дескриптор."},
    {ERROR_NOT_ENOUGH_MEMORY, "Недостаточно памяти для обработки команды."},
    {ERROR_INVALID_DATA, "Недопустимые данные."},
    {ERROR_GEN_FAILURE, "Устройство, подключенное к системе, не работает."},
    {ERROR_SHARING_VIOLATION, "Процесс не может получить доступ к файлу, так как он занят другим процессом."},
    {ERROR_FILE_EXISTS, "Файл существует."},
    {ERROR_INVALID_PARAMETER, "Параметр задан неверно."},
    {ERROR_BROKEN_PIPE, "Связь со службой quorvel-host прервана."},
    {ERROR_SEM_TIMEOUT, "Служба quorvel-host не ответила вовремя; связь с ней прервана."},
    {ERROR_INSUFFICIENT_BUFFER, "Область данных, переданная системному вызову, слишком мала."},
    {ERROR_INVALID_NAME, "Синтаксическая ошибка в имени файла, имени папки или метке тома."},
    {ERROR_FILE_TOO_LARGE, "Размер файла превышает установленное ограничение, и этот файл не может быть сохранен."},
    {ERROR_PIPE_NOT_CONNECTED,
     "Нет связи со службой quorvel-host: служба не запущена. Запустите ее и повторите действие."},
    {ERROR_MORE_DATA, "Имеются дополнительные данные."},
    {ERROR_NO_MORE_ITEMS, "Больше данных нет."},
    {ERROR_OPERATION_ABORTED, "Операция ввода-вывода была прервана."},
    {ERROR_REGISTRY_IO_FAILED,
     "Операция ввода-вывода, инициированная реестром, завершилась неустранимой ошибкой: quorvel-host не смог "
     "сохранить свое хранилище настроек (диск заполнен или недоступен для записи). Изменения не внесены."},
    {ERROR_SERVICE_MARKED_FOR_DELETE, "Указанная служба помечена для удаления."},
    {ERROR_SERVICE_EXISTS, "Указанная служба уже существует."},
    {ERROR_DUPLICATE_SERVICE_NAME, "Это имя уже используется как имя службы или как ее отображаемое имя."},
    {kErrorElevationRequired,
     "Запрошенная операция требует повышения прав: запустите конфигуратор от имени администратора."},
    {ERROR_REVISION_MISMATCH, "Версия протокола управления не совпадает с версией quorvel-host."},
    {ERROR_NO_SYSTEM_RESOURCES, "Недостаточно системных ресурсов для завершения операции."},
    {ERROR_GENERAL_SYNTAX, "Синтаксическая ошибка в INF-файле."},
    {ERROR_WRONG_INF_STYLE, "Файл не является INF-файлом драйвера устройства или в нем не указан класс установки."},
    {ERROR_SECTION_NOT_FOUND, "В INF-файле нет нужного раздела."},
    {ERROR_LINE_NOT_FOUND, "В разделе INF-файла нет нужной строки."},
    {ERROR_NO_ASSOCIATED_CLASS, "Для INF-файла или устройства не задан класс установки."},
    {ERROR_NO_DRIVER_SELECTED, "Для устройства не выбран драйвер."},
    {ERROR_INVALID_CLASS, "Класс установки указан неверно."},
    {ERROR_DEVINST_ALREADY_EXISTS, "Экземпляр устройства уже существует."},
    {ERROR_NO_SUCH_DEVINST, "Экземпляр устройства не существует."},
    {ERROR_NO_COMPAT_DRIVERS, "В INF-файле нет драйвера, подходящего для этого устройства."},
    {ERROR_CANT_REMOVE_DEVINST, "Не удается удалить экземпляр устройства."},
    {ERROR_IN_WOW64,
     "32-разрядная программа не может устанавливать драйверы в 64-разрядной Windows: запустите 64-разрядный "
     "конфигуратор."},
};

}  // namespace

const char *HostSystemMessageText(Win32Error code)
{
    for (const MessageEntry &m : kMessages)
        if (m.code == code) return m.text;
    return nullptr;
}

std::vector<Win32Error> HostSystemMessageCodes()
{
    std::vector<Win32Error> codes;
    for (const MessageEntry &m : kMessages) codes.push_back(m.code);
    return codes;
}

std::string HostSystemMessage(Win32Error code)
{
    char tail[48];
    if (const char *text = HostSystemMessageText(code)) {
        std::snprintf(tail, sizeof tail, " (код %u)", unsigned(code));
        return std::string(text) + tail;
    }
    std::snprintf(tail, sizeof tail, "Ошибка %u (0x%08X)", unsigned(code), unsigned(code));
    return tail;
}

}  // namespace quorvel
