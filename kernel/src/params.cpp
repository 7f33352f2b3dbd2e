// Module parameter types, and number parsing as the kernel does it: an
// optional sign, a base prefix (0x, 0), and at most one trailing newline.
#include <linux/kernel.h>
#include <linux/moduleparam.h>

namespace {

int digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return 99;
}

unsigned int detect_base(const char *&s, unsigned int base)
{
    if (base == 0) {
        if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && digit_value(s[2]) < 16) {
            s += 2;
            return 16;
        }
        return s[0] == '0' ? 8 : 10;
    }
    if (base == 16 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        s += 2;
    return base;
}

int parse_ull(const char *s, unsigned int base, unsigned long long *res)
{
    base = detect_base(s, base);
    unsigned long long value = 0;
    const char *start = s;
    for (; digit_value(*s) < static_cast<int>(base); s++) {
        unsigned long long next = value * base + digit_value(*s);
        if (next / base != value)
            return -ERANGE;
        value = next;
    }
    if (s == start)
        return -EINVAL;
    if (*s == '\n')
        s++;
    if (*s)
        return -EINVAL;
    *res = value;
    return 0;
}

// Parameters are read and written whole: a module may change its own while
// a program reads them through sysfs.
template <typename T> int param_get(char *buffer, const struct kernel_param *kp, const char *fmt)
{
    return snprintf(buffer, 4096, fmt, __atomic_load_n(static_cast<T *>(kp->arg), __ATOMIC_RELAXED));
}

template <typename T> void param_store(const struct kernel_param *kp, T value)
{
    __atomic_store_n(static_cast<T *>(kp->arg), value, __ATOMIC_RELAXED);
}

} // namespace

extern "C" {

int kstrtoul(const char *s, unsigned int base, unsigned long *res)
{
    if (*s == '+')
        s++;
    unsigned long long v;
    int err = parse_ull(s, base, &v);
    if (!err)
        *res = v;
    return err;
}

int kstrtol(const char *s, unsigned int base, long *res)
{
    bool neg = *s == '-';
    unsigned long v;
    int err = kstrtoul(neg ? s + 1 : s, base, &v);
    if (err)
        return err;
    if (neg ? v > static_cast<unsigned long>(__LONG_MAX__) + 1 : v > static_cast<unsigned long>(__LONG_MAX__))
        return -ERANGE;
    *res = neg ? static_cast<long>(0 - v) : static_cast<long>(v);
    return 0;
}

int kstrtouint(const char *s, unsigned int base, unsigned int *res)
{
    unsigned long v;
    if (int err = kstrtoul(s, base, &v))
        return err;
    if (v > __UINT32_MAX__)
        return -ERANGE;
    *res = static_cast<unsigned int>(v);
    return 0;
}

int kstrtoint(const char *s, unsigned int base, int *res)
{
    long v;
    if (int err = kstrtol(s, base, &v))
        return err;
    if (v > __INT_MAX__ || v < -__INT_MAX__ - 1)
        return -ERANGE;
    *res = static_cast<int>(v);
    return 0;
}

// A written word matches with at most one newline after it.
bool sysfs_streq(const char *s1, const char *s2)
{
    while (*s1 && *s1 == *s2) {
        s1++;
        s2++;
    }
    if (*s1 == *s2)
        return true;
    if (!*s1 && *s2 == '\n' && !s2[1])
        return true;
    if (*s1 == '\n' && !s1[1] && !*s2)
        return true;
    return false;
}

} // extern "C"

namespace {

int set_long(const char *val, const struct kernel_param *kp)
{
    long v;
    int err = val ? kstrtol(val, 0, &v) : -EINVAL;
    if (!err)
        param_store(kp, v);
    return err;
}
int set_ulong(const char *val, const struct kernel_param *kp)
{
    unsigned long v;
    int err = val ? kstrtoul(val, 0, &v) : -EINVAL;
    if (!err)
        param_store(kp, v);
    return err;
}
int set_int(const char *val, const struct kernel_param *kp)
{
    long v;
    int err = val ? kstrtol(val, 0, &v) : -EINVAL;
    if (!err && (v < -__INT_MAX__ - 1 || v > __INT_MAX__))
        err = -ERANGE;
    if (!err)
        param_store(kp, static_cast<int>(v));
    return err;
}
int set_uint(const char *val, const struct kernel_param *kp)
{
    unsigned long v;
    int err = val ? kstrtoul(val, 0, &v) : -EINVAL;
    if (!err && v > 0xffffffffUL)
        err = -ERANGE;
    if (!err)
        param_store(kp, static_cast<unsigned int>(v));
    return err;
}
// A bare "name" sets a bool; so do y/Y/1 and n/N/0.
int set_bool(const char *val, const struct kernel_param *kp)
{
    bool *b = static_cast<bool *>(kp->arg);
    if (!val || strcmp(val, "y") == 0 || strcmp(val, "Y") == 0 || strcmp(val, "1") == 0 || strcmp(val, "1\n") == 0) {
        *b = true;
        return 0;
    }
    if (strcmp(val, "n") == 0 || strcmp(val, "N") == 0 || strcmp(val, "0") == 0 || strcmp(val, "0\n") == 0) {
        *b = false;
        return 0;
    }
    return -EINVAL;
}
int get_bool(char *buffer, const struct kernel_param *kp)
{
    return snprintf(buffer, 4096, "%c\n", *static_cast<bool *>(kp->arg) ? 'Y' : 'N');
}

} // namespace

extern "C" {
const struct kernel_param_ops param_ops_long = {
    set_long, [](char *b, const kernel_param *kp) { return param_get<long>(b, kp, "%ld\n"); }};
const struct kernel_param_ops param_ops_ulong = {
    set_ulong, [](char *b, const kernel_param *kp) { return param_get<unsigned long>(b, kp, "%lu\n"); }};
const struct kernel_param_ops param_ops_int = {
    set_int, [](char *b, const kernel_param *kp) { return param_get<int>(b, kp, "%d\n"); }};
const struct kernel_param_ops param_ops_uint = {
    set_uint, [](char *b, const kernel_param *kp) { return param_get<unsigned int>(b, kp, "%u\n"); }};
const struct kernel_param_ops param_ops_bool = {set_bool, get_bool};
}
