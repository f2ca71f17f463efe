#!/usr/bin/env python3
"""Quillet under Wine and Xvfb, one scenario per run.

    quillet_wine_test.py SCENARIO --work DIR --make-volume EXE --driver EXE
        --emulated EXE --quillet EXE --bootsift-x86 EXE --bootsift-x64 EXE

Each scenario makes NTFS images with the image tests' maker (mkntfs and
ntfs-3g's tools), lets quillet_driver.exe act as the user in a Chinese
locale, and checks what it recorded against values computed here from the
images themselves. WINEPREFIX comes from CTest.
"""
import argparse
import collections
import os
import resource
import shutil
import signal
import struct
import subprocess
import sys

MODEL = 'Samsung SSD 860 EVO 500GB'


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def gbk(text):
    return text.encode('gbk')


def run(command, **kwargs):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kwargs)
    if result.returncode != 0:
        raise Failure('%s failed (%d):\n%s' % (' '.join(command), result.returncode,
                                                result.stdout.decode(errors='replace')))
    return result.stdout


def windows_path(path):
    return 'Z:' + os.path.abspath(path)


# --- images -----------------------------------------------------------------

# An NTFS image and the files on it: name -> bytes.
Volume = collections.namedtuple('Volume', 'path files')


# The image tests' volume: 22 files of varied sizes, every second one
# truncated again, so freed clusters lie between files that stay and still
# hold their old data until a trim. SMALL has fewer than 5000 clusters;
# FRAGMENTED (160,001 sectors of 512 bytes in 1 KiB clusters: 80,000
# clusters, 16 a cell) holds data in every one of the 5000 cells.
SMALL = 18 * 1024 * 1024, 4096
FRAGMENTED = 160001 * 512, 1024


def make_volume(session, name, geometry, seed):
    path = session.image(name)
    files_dir = path + '.files'
    shutil.rmtree(files_dir, ignore_errors=True)
    os.makedirs(files_dir)
    size, cluster_size = geometry
    run([session.options.make_volume, path, str(size), str(cluster_size), str(seed), files_dir])
    files = {}
    for name in os.listdir(files_dir):
        with open(os.path.join(files_dir, name), 'rb') as f:
            files[name] = f.read()
    shutil.rmtree(files_dir)
    return Volume(path, files)


def volume_geometry(image):
    with open(image, 'rb') as f:
        boot = f.read(512)
    bytes_per_sector, = struct.unpack_from('<H', boot, 0x0B)
    sectors_per_cluster = boot[0x0D]
    total_sectors, = struct.unpack_from('<q', boot, 0x28)
    return bytes_per_sector * sectors_per_cluster, total_sectors // sectors_per_cluster


def volume_bitmap(image):
    return run(['ntfscat', '-f', image, '$Bitmap'])


def expected_classes(image):
    """The map from the image's $Bitmap: cells of ceil(clusters / 5000)
    rounded up to 16 clusters, a class per group of bitmap bytes, class 0
    after the data."""
    _, total = volume_geometry(image)
    bitmap = volume_bitmap(image)
    total = min(total, len(bitmap) * 8)
    per_cell = -(-total // 5000)
    per_cell = max(16, (per_cell + 15) // 16 * 16)
    bytes_per_cell = per_cell // 8
    data = bitmap[:total // 8]
    classes = []
    for start in range(0, len(data), bytes_per_cell):
        used = sum(bin(b).count('1') for b in data[start:start + bytes_per_cell])
        percent = used * 100 // per_cell
        if percent == 0:
            classes.append(1)
        elif percent >= 100:
            classes.append(7)
        else:
            classes.append(2 + sum(percent > limit for limit in (20, 40, 60, 80)))
    check(len(classes) <= 5000, 'more than 5000 cells expected')
    return ''.join(str(c) for c in classes + [0] * (5000 - len(classes)))


def free_ranges_untrimmed(image):
    """How many free runs, aligned inwards to 4096 bytes, still hold data."""
    cluster, total = volume_geometry(image)
    bitmap = volume_bitmap(image)
    with open(image, 'rb') as f:
        content = f.read()
    nonzero = 0
    cluster_index = 0
    while cluster_index < total:
        if bitmap[cluster_index // 8] >> (cluster_index % 8) & 1:
            cluster_index += 1
            continue
        end = cluster_index
        while end < total and not bitmap[end // 8] >> (end % 8) & 1:
            end += 1
        first = (cluster_index * cluster + 4095) // 4096 * 4096
        last = end * cluster // 4096 * 4096
        if last > first and content[first:last].count(0) != last - first:
            nonzero += 1
        cluster_index = end
    return nonzero


def files_intact(volume):
    for name, data in volume.files.items():
        content = subprocess.run(['ntfscat', '-f', volume.path, name], stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL).stdout
        check(content == data, '%s changed on %s' % (name, volume.path))


# --- the driver ---------------------------------------------------------------

class Session:
    def __init__(self, options, scenario):
        self.options = options
        self.out = os.path.join(options.work, 'out-' + scenario)
        shutil.rmtree(self.out, ignore_errors=True)
        os.makedirs(self.out)
        self.images = os.path.join(options.work, 'images-' + scenario)
        os.makedirs(self.images, exist_ok=True)
        self.env = dict(os.environ)
        self.env.update(chinese_locale(options.work))
        prepare_prefix(self.env)

    def image(self, name):
        return os.path.join(self.images, name)

    def drive(self, program, steps, volumes=None, drive='', file_size_limit=None):
        env = dict(self.env)
        if volumes is not None:
            env['QUILLET_EMULATED_VOLUMES'] = ';'.join(volumes)
            env['QUILLET_EMULATED_DRIVE'] = drive
        # A virtual desktop of Wine's own draws window frames as Windows
        # does (Xvfb has no window manager). It does not pass the driver's
        # exit status on, so the driver's last line tells the outcome.
        command = ['xvfb-run', '-a', '-s', '-screen 0 1024x768x24', 'wine', 'explorer',
                   '/desktop=QuilletTest,1024x768', self.options.driver,
                   windows_path(self.out), windows_path(program)] + steps
        limit = None
        if file_size_limit is not None:
            # The wineserver keeps the registry files: it runs unlimited.
            subprocess.run(['wineserver', '-p5'], env=env)
            limit = lambda: limit_file_size(file_size_limit)
        result = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=240,
                                preexec_fn=limit)
        log = result.stdout.decode(errors='replace')
        with open(os.path.join(self.out, 'driver.log'), 'w') as f:
            f.write(log)
        subprocess.run(['wineserver', '-w'], env=env)
        if 'all steps done' not in log:
            raise Failure('driver failed (%d):\n%s' % (result.returncode, log[-3000:]))
        # The test variant names what it refused (a volume asked before the
        # error mode was set, for one).
        complaints = sorted(set(line for line in log.splitlines() if line.startswith('Quillet-emulated: ')))
        check(not complaints, '\n'.join(complaints))

    def read(self, name):
        with open(os.path.join(self.out, name), 'rb') as f:
            return f.read()

    def write(self, name, content):
        with open(os.path.join(self.out, name), 'wb') as f:
            f.write(content)

    def map(self, name):
        lines = self.read(name).decode().splitlines()
        check(lines[50] == 'grid faults 0', '%s: %s' % (name, lines[50]))
        return ''.join(lines[:50])

    def expect_map(self, name, expected):
        seen = self.map(name)
        differences = [i for i in range(5000) if seen[i] != expected[i]]
        check(not differences, '%s: %d cells differ, first %r' % (name, len(differences), differences[:5]))

    def expect_box(self, name, text, buttons):
        head, _, seen = self.read(name).partition(b'\ntext ')
        check(seen == text, '%s: text %r, expected %r' % (name, seen, text))
        check(head.decode() == 'owner main\nbuttons ' + buttons, '%s: %r' % (name, head))

    def screenshot(self, name, png):
        os.makedirs(os.path.join(self.options.work, 'screenshots'), exist_ok=True)
        # The driver's 32-bit pictures leave the fourth byte zero: no alpha.
        run(['convert', os.path.join(self.out, name), '-alpha', 'off',
             os.path.join(self.options.work, 'screenshots', png)])


def limit_file_size(size):
    """Writes past `size` bytes fail (EFBIG) instead of killing the writer."""
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))


def chinese_locale(work):
    """A zh_CN.UTF-8 locale for Wine, so that its ANSI code page is 936;
    made under the build tree when the system has none."""
    env = {'LANG': 'zh_CN.UTF-8', 'LC_ALL': 'zh_CN.UTF-8'}
    available = subprocess.run(['locale', '-a'], stdout=subprocess.PIPE).stdout.decode().lower()
    if 'zh_cn.utf8' in available:
        return env
    locales = os.path.join(work, 'locale')
    if not os.path.isdir(os.path.join(locales, 'zh_CN.UTF-8')):
        os.makedirs(locales, exist_ok=True)
        run(['localedef', '-i', 'zh_CN', '-f', 'UTF-8', os.path.join(locales, 'zh_CN.UTF-8')])
    env['LOCPATH'] = locales
    return env


PREFIX_SETTINGS = '''Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]
"SimSun"="WenQuanYi Micro Hei"
"宋体"="WenQuanYi Micro Hei"
"NSimSun"="WenQuanYi Micro Hei"
'''


def prepare_prefix(env):
    """Once per prefix: the Chinese fonts that Windows has (SimSun, which
    Quillet asks for by its Chinese name) come from WenQuanYi Micro Hei."""
    marker = os.path.join(env['WINEPREFIX'], 'quillet-desktop-settings')
    if os.path.exists(marker):
        return
    settings = marker + '.reg'
    with open(settings, 'wb') as f:
        f.write(b'\xff\xfe' + PREFIX_SETTINGS.replace('\n', '\r\n').encode('utf-16-le'))
    run(['wine', 'regedit', '/S', windows_path(settings)], env=env)
    subprocess.run(['wineserver', '-w'], env=env)
    open(marker, 'w').close()


# --- scenarios ------------------------------------------------------------------

def scenario_window(session, options):
    """The window's layout, the splash, and the list: NTFS volumes only,
    with the drive's model and the size in whole gigabytes, truncated."""
    d = make_volume(session, 'd.img', SMALL, 2)
    f = make_volume(session, 'f.img', SMALL, 3)
    fat = session.image('e.img')
    if os.path.exists(fat):
        os.remove(fat)
    run(['/sbin/mkfs.vfat', '-C', fat, '8192'])
    volumes = ['D=' + windows_path(d.path), 'E=' + windows_path(fat),
               'F=%s,bytes=2147483647' % windows_path(f.path)]
    session.drive(options.emulated, ['start', 'layout:layout.txt', 'entries:entries.txt', 'label:label.txt',
                                     'button:button.txt', 'shot:splash.bmp', 'nobox', 'close'],
                  volumes, 'model=' + MODEL)
    layout = session.read('layout.txt').decode().splitlines()
    check(layout[0] == 'client 610 420', layout[0])
    title, style = layout[1].rsplit(' style ', 1)
    check(title == 'window "Quillet"', title)
    # Caption, system menu, sizing frame, minimize box; no maximize box.
    check(int(style, 16) & 0x00CF0000 == 0x00CE0000, 'window style ' + style)
    fields = {int(line.split()[1]): line for line in layout[2:]}
    check(sorted(fields) == [100, 200, 300, 1000], 'controls: %r' % layout[2:])
    banner = fields[300].split()
    check(banner[2] == 'IEFrame' and banner[7:] == ['0', '0', 'size', '610', '64'], fields[300])
    combo, label, button = fields[100].split(), fields[200].split(), fields[1000].split()
    # The combo box hands WS_VSCROLL and WS_HSCROLL on to its list.
    check(combo[2] == 'ComboBox' and int(combo[5], 16) & 0xFFCFFFFF == 0x50000003 and
          combo[7:9] == ['230', '385'] and combo[10] == '250', fields[100])
    check(label[2] == 'Static' or label[2] == 'STATIC', fields[200])
    check(label[3] == '""' and int(label[5], 16) == 0x50000002 and label[7:] == ['110', '388', 'size', '110', '16'],
          fields[200])
    check(button[2] == 'Button' and button[3] == '"TRIM"' and int(button[5], 16) == 0x50000000 and
          button[7:] == ['500', '380', 'size', '100', '32'], fields[1000])
    entries = session.read('entries.txt').split(b'\n')
    check(entries[0] == b'count 2 selected -1', entries[0])
    check(entries[1] == b'68|D:\\ [' + MODEL.encode() + b'] (0 GB)', entries[1])
    check(entries[2] == b'70|F:\\ [' + MODEL.encode() + b'] (1 GB)', entries[2])
    check(session.read('label.txt') == b'' and session.read('button.txt') == b'1', 'label or button at start')
    session.screenshot('splash.bmp', 'quillet-splash.png')


def scenario_analyse(session, options):
    """Choosing volumes paints maps whose cells match their bitmaps, with
    the status label of each: aligned, not aligned, and a volume of fewer
    than 5000 clusters."""
    d = make_volume(session, 'd.img', FRAGMENTED, 1)
    small = make_volume(session, 'h.img', SMALL, 4)
    g_volume = make_volume(session, 'g.volume.img', FRAGMENTED, 5)
    unaligned = session.image('g.img')
    offset = 1048576 + 512
    with open(unaligned, 'wb') as out, open(g_volume.path, 'rb') as volume:
        out.write(b'\0' * offset)
        shutil.copyfileobj(volume, out)
    volumes = ['D=' + windows_path(d.path), 'G=%s,offset=%d' % (windows_path(unaligned), offset),
               'H=' + windows_path(small.path)]
    session.drive(options.emulated, ['start', 'select:D', 'map:d.txt', 'label:d_label.txt',
                                     'select:H', 'map:h.txt', 'label:h_label.txt',
                                     'select:G', 'map:g.txt', 'label:g_label.txt', 'shot:analysed.bmp', 'nobox',
                                     'close'],
                  volumes, 'model=' + MODEL)
    expected_d = expected_classes(d.path)
    check('2' in expected_d and '7' in expected_d, 'D is not fragmented enough')
    for name, expected, label in (('d', expected_d, b''), ('h', expected_classes(small.path), b''),
                                  ('g', expected_classes(g_volume.path), gbk('非4KB对齐!'))):
        session.expect_map(name + '.txt', expected)
        check(session.read(name + '_label.txt') == label, 'label of %s: %r' % (name, session.read(name + '_label.txt')))
    session.screenshot('analysed.bmp', 'quillet-analysed.png')


def scenario_trim(session, options):
    """TRIM runs on the worker: cells turn green while the button is
    disabled; choosing another volume meanwhile shows that volume's map,
    untouched by the running trim; afterwards the button is back, every
    free cell is green, the files are intact and the free space reads zeros."""
    d = make_volume(session, 'd.img', FRAGMENTED, 6)
    f = make_volume(session, 'f.img', FRAGMENTED, 7)
    check(free_ranges_untrimmed(d.path) > 0, 'the image has no stale data in its free space to trim')
    volumes = ['D=' + windows_path(d.path), 'F=' + windows_path(f.path)]
    session.drive(options.emulated, [
        'start', 'select:D', 'trim', 'wait-paused', 'button:busy.txt', 'map:paused.txt', 'shot:trimming.bmp',
        'select:F', 'map:f_during.txt', 'resume', 'wait-enabled', 'map:f_after.txt', 'nobox',
        'select:D', 'trim', 'wait-enabled', 'nobox', 'map:done.txt', 'shot:done.bmp', 'close'],
        volumes, 'model=%s,pauseat=6' % MODEL)
    expected_d = expected_classes(d.path)
    expected_f = expected_classes(f.path)
    check(session.read('busy.txt') == b'0', 'the TRIM button is enabled during the trim')
    paused = session.map('paused.txt')
    green = [i for i in range(5000) if paused[i] == '8']
    check(0 < len(green) < expected_d.count('1'), 'green cells while paused: %d' % len(green))
    check(all(paused[i] == expected_d[i] for i in range(5000) if paused[i] != '8'), 'D map while trimming')
    for name in ('f_during.txt', 'f_after.txt'):
        session.expect_map(name, expected_f)
    done = session.map('done.txt')
    check(all(done[i] == '8' for i in range(5000) if expected_d[i] == '1'), 'a free cell is not green')
    check(all(done[i] in ('8', expected_d[i]) for i in range(5000)), 'cells changed other than to green')
    files_intact(d)
    check(free_ranges_untrimmed(d.path) == 0, 'free space of D still holds data')
    files_intact(f)
    check(free_ranges_untrimmed(f.path) > 0, 'F was trimmed')
    session.screenshot('trimming.bmp', 'quillet-trimming.png')
    session.screenshot('done.bmp', 'quillet-done.png')


def scenario_errors(session, options):
    """Failures show their boxes: an analysis that cannot open shows the
    status number and leaves map and label; TRIM shows the Chinese status
    text; a worker that cannot start and a drive without TRIM both end in
    the trim error box with the button enabled again."""
    d = make_volume(session, 'd.img', SMALL, 8)
    volumes = ['D=' + windows_path(d.path), 'E=%s,openfails' % windows_path(d.path),
               'F=%s,extentsfail' % windows_path(d.path)]
    session.drive(options.emulated, [
        'start', 'select:D', 'map:d.txt', 'label:d_label.txt',
        'select:E', 'box:ok:e_analysis.txt', 'label:e_label.txt', 'map:e_map.txt',
        'trim', 'box:ok:e_trim.txt', 'button:e_button.txt',
        'select:F', 'box:ok:f_analysis.txt', 'trim', 'box:ok:f_trim.txt',
        'select:D', 'trim', 'box:ok:no_thread.txt', 'button:no_thread_button.txt', 'nobox',
        'trim', 'box:ok:worker.txt', 'wait-enabled', 'nobox', 'close'],
        volumes, 'model=%s,notrim,threadfails=1' % MODEL)
    no_trim = gbk('不支持TRIM!')
    check(session.read('d_label.txt') == no_trim, 'label without TRIM support')
    session.expect_box('e_analysis.txt', b'Error code 2\n', 'ok')
    check(session.read('e_label.txt') == no_trim, 'label after a failed analysis')
    check(session.map('e_map.txt') == session.map('d.txt'), 'map after a failed analysis')
    session.expect_box('e_trim.txt', gbk('访问目标分区失败!'), 'ok')
    check(session.read('e_button.txt') == b'1', 'button after a failed open')
    session.expect_box('f_analysis.txt', b'Error code 3\n', 'ok')
    session.expect_box('f_trim.txt', gbk('获取分区信息失败!'), 'ok')
    session.expect_box('no_thread.txt', gbk('TRIM 发生错误！'), 'ok')
    check(session.read('no_thread_button.txt') == b'1', 'button after the worker failed to start')
    session.expect_box('worker.txt', gbk('TRIM 发生错误！'), 'ok')


def prefix_path(*parts):
    return os.path.join(os.environ['WINEPREFIX'], 'drive_c', 'windows', *parts)


def multi_sz(*entries):
    """A REG_MULTI_SZ as the registry holds it: UTF-16 units (a lone
    surrogate too), each entry ended, and the empty string that ends it."""
    return ''.join(e + '\0' for e in entries).encode('utf-16-le', 'surrogatepass') + b'\0\0'


def registry_value(session, name, value_type):
    content = session.read(name)
    head = b'type %d\n' % value_type
    check(content.startswith(head), '%s: %r' % (name, content[:40]))
    return content[len(head):]


def boot_execute(session, name):
    return registry_value(session, name, 7)


ASK = gbk('无法锁定目标分区！是否计划在下次系统启动时进行Trim操作？')
SCHEDULED = gbk('系统下次启动时将对目标分区执行Trim操作！')
CANNOT_CREATE = gbk('无法创建文件 C:\\windows\\system32\\bootsift.exe')
DEFAULT_LIST = multi_sz('autocheck autochk *')
# Another product's entry in scripts outside code page 936 (Cyrillic, a
# character beyond the Basic Multilingual Plane) and a lone surrogate: an
# ANSI round trip turns each into "?".
FOREIGN_ENTRY = '\\??\\C:\\\u0407\u0454\u0452\\\U0001D11E.exe /x \udc00'


def scenario_schedule(session, options, boot_build, every_case):
    """A lock failure asks whether to trim at the next start; Yes installs
    the matching build into the native system32 and keeps other software's
    entries unit for unit. With every_case also: No changes nothing, no list
    at all gives the 32-character value, a list beyond any real one is left
    alone."""
    d = make_volume(session, 'd.img', SMALL, 9)
    installed = prefix_path('system32', 'bootsift.exe')
    for path in (installed, prefix_path('syswow64', 'bootsift.exe')):
        if os.path.lexists(path):
            os.remove(path)
    foreign = multi_sz('autocheck autochk *', 'other.exe /x', FOREIGN_ENTRY, 'bootsift C')
    session.write('foreign.bin', foreign)
    session.write('default.bin', DEFAULT_LIST)
    # Entries of 99 characters, 69,802 bytes, beyond any real list.
    huge = multi_sz(*['x' * 99] * 349)
    session.write('huge.bin', huge)
    steps = ['start', 'select:D', 'seed:bootexecute:foreign.bin']
    if every_case:
        steps += ['trim', 'shot:ask.bmp', 'box:no:no_ask.txt', 'nobox', 'button:no_button.txt',
                  'value:bootexecute:no_value.txt']
    steps += ['trim', 'box:yes:yes_ask.txt', 'box:ok:yes_box.txt', 'nobox', 'button:yes_button.txt',
              'value:bootexecute:yes_value.txt']
    if every_case:
        steps += ['delete:bootexecute',
                  'trim', 'box:yes:none_ask.txt', 'box:ok:none_box.txt', 'nobox', 'value:bootexecute:none_value.txt',
                  'seed:bootexecute:huge.bin',
                  'trim', 'box:yes:huge_ask.txt', 'box:ok:huge_box.txt', 'nobox', 'button:huge_button.txt',
                  'value:bootexecute:huge_value.txt']
    session.drive(options.emulated, steps + ['seed:bootexecute:default.bin', 'close'],
                  ['D=%s,lockfails' % windows_path(d.path)], 'model=' + MODEL)

    session.expect_box('yes_ask.txt', ASK, 'yes no')
    session.expect_box('yes_box.txt', SCHEDULED, 'ok')
    check(session.read('yes_button.txt') == b'1', 'button after scheduling')
    check(boot_execute(session, 'yes_value.txt') ==
          multi_sz('autocheck autochk *', 'other.exe /x', FOREIGN_ENTRY, 'bootsift D'),
          'BootExecute keeps other entries: %r' % boot_execute(session, 'yes_value.txt'))
    with open(boot_build, 'rb') as build:
        check(os.path.isfile(installed) and open(installed, 'rb').read() == build.read(),
              '%s is missing or not the expected build of bootsift' % installed)
    check(not os.path.lexists(prefix_path('syswow64', 'bootsift.exe')), 'bootsift written to syswow64')
    if not every_case:
        return
    session.expect_box('no_ask.txt', ASK, 'yes no')
    session.screenshot('ask.bmp', 'quillet-schedule-question.png')
    check(boot_execute(session, 'no_value.txt') == foreign, 'No changed BootExecute')
    check(session.read('no_button.txt') == b'1', 'button after No')
    session.expect_box('none_box.txt', SCHEDULED, 'ok')
    value = boot_execute(session, 'none_value.txt')
    check(value == multi_sz('autocheck autochk *', 'bootsift D') and len(value) == 64,
          'BootExecute from no list: %r' % value)
    session.expect_box('huge_box.txt', gbk('修改注册表设置启动项失败！'), 'ok')
    check(boot_execute(session, 'huge_value.txt') == huge, 'the huge list changed')
    check(session.read('huge_button.txt') == b'1', 'button after the registry error')


def failed_install(session, options, drive_options):
    """A write that stops short (a file size limit below the program's
    size): the box names the file, BootExecute stays as it was."""
    d = make_volume(session, 'd.img', SMALL, 10)
    session.write('stale.bin', multi_sz('autocheck autochk *', 'bootsift C'))
    session.drive(options.emulated, ['start', 'select:D', 'seed:bootexecute:stale.bin',
                                     'trim', 'box:yes:fail_ask.txt', 'box:ok:fail_box.txt',
                                     'nobox', 'button:fail_button.txt', 'value:bootexecute:fail_value.txt', 'close'],
                  ['D=%s,lockfails' % windows_path(d.path)], ','.join(['model=' + MODEL] + drive_options),
                  file_size_limit=16384)
    session.expect_box('fail_ask.txt', ASK, 'yes no')
    session.expect_box('fail_box.txt', CANNOT_CREATE, 'ok')
    check(boot_execute(session, 'fail_value.txt') == session.read('stale.bin'),
          'BootExecute changed after a failed install')
    check(session.read('fail_button.txt') == b'1', 'button after a failed install')


def scenario_schedule_x86(session, options):
    """32-bit prefix: the x86 build; a partial file is removed again."""
    installed = prefix_path('system32', 'bootsift.exe')
    if os.path.lexists(installed):
        os.remove(installed)
    check(os.path.getsize(options.bootsift_x86) > 16384, 'bootsift too small for the write failure')
    failed_install(session, options, [])
    check(not os.path.lexists(installed), 'the partial bootsift.exe stayed')
    scenario_schedule(session, options, options.bootsift_x86, every_case=True)


def scenario_schedule_x64(session, options):
    """64-bit prefix: Quillet runs under WOW64 and, with redirection off,
    writes the x64 build to the native system32, not to syswow64. When the
    switch fails before a partial file is removed, the same path means
    syswow64: a file there is someone else's and stays."""
    check(os.path.getsize(options.bootsift_x64) > 16384, 'bootsift too small for the write failure')
    others = prefix_path('syswow64', 'bootsift.exe')
    with open(others, 'wb') as f:
        f.write(b'not ours')
    failed_install(session, options, ['redirectfails=2'])
    check(open(others, 'rb').read() == b'not ours', 'the clean-up deleted a file in syswow64')
    scenario_schedule(session, options, options.bootsift_x64, every_case=False)


def scenario_start(session, options):
    """The shipped Quillet.exe from start to close, in a 64-bit prefix with
    the platform's browser control: with another start page set, the
    start-page question comes while the window is made and not yet shown,
    after its banner pane; Yes sets the promoted start page. The window
    shows the pane with the control inside it and lists the prefix's C:
    (no model: Wine answers no IDENTIFY); WM_CLOSE ends it with status 0.
    The offer's keys are set aside and put back."""
    session.write('other_page.bin', 'https://www.example.org/\0'.encode('utf-16-le'))
    session.drive(options.quillet, [
        'offer-aside', 'seed:startpage:other_page.bin', 'launch', 'question:yes:question.txt:question.bmp',
        'start', 'layout:layout.txt', 'entries:entries.txt', 'pane:pane.txt', 'value:startpage:start_page.txt',
        'nobox', 'shot:window.bmp', 'close', 'offer-back'])
    head, _, text = session.read('question.txt').partition(b'\ntext ')
    check(head == b'owner main\nwindow hidden\npane present\nbuttons yes no', 'question: %r' % head)
    check(text == gbk('Quillet是一款免费软件，如果您觉得好用\n\n请允许我们设置您的浏览器首页为 2345导航\n\n您允许变更首页吗？\n'),
          'question text: %r' % text)
    check(session.read('layout.txt').decode().splitlines()[0] == 'client 610 420', 'client size')
    entries = session.read('entries.txt').split(b'\n')
    check(any(line.startswith(b'67|C:\\ [] (') and line.endswith(b' GB)') for line in entries[1:]),
          'no entry for C: %r' % entries)
    pane = session.read('pane.txt').decode().splitlines()
    check(pane[0] == 'visible 1' and len(pane) > 1, 'banner pane: %r' % pane)
    start_page = registry_value(session, 'start_page.txt', 1).decode('utf-16-le')
    check(start_page == 'https://www.2345.com/?from=quillet\0', 'start page after Yes: %r' % start_page)
    session.screenshot('question.bmp', 'quillet-start-question.png')
    session.screenshot('window.bmp', 'quillet-start-window.png')


SCENARIOS = {
    'window': scenario_window,
    'analyse': scenario_analyse,
    'trim': scenario_trim,
    'errors': scenario_errors,
    'schedule_x86': scenario_schedule_x86,
    'schedule_x64': scenario_schedule_x64,
    'start': scenario_start,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('scenario', choices=sorted(SCENARIOS))
    for option in ('work', 'make-volume', 'driver', 'emulated', 'quillet', 'bootsift-x86', 'bootsift-x64'):
        parser.add_argument('--' + option, required=True)
    options = parser.parse_args()
    if not os.access(options.make_volume, os.X_OK):
        print('FAILED %s: no make_test_volume at %r: build the host tree first (make build does), or set '
              'QUILLET_MAKE_TEST_VOLUME' % (options.scenario, options.make_volume))
        return 1
    session = Session(options, options.scenario)
    try:
        SCENARIOS[options.scenario](session, options)
    except Failure as failure:
        print('FAILED %s: %s' % (options.scenario, failure))
        return 1
    print('passed', options.scenario)
    return 0


if __name__ == '__main__':
    sys.exit(main())
