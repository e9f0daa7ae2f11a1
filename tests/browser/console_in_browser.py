#!/usr/bin/python3
"""The maker's console in a real browser: headless Chromium driven through Selenium, against a
real velmora-service on loopback, with reports sent and answers fetched by a device speaking the
application's protocol (the application's own code meets the service in tst_service).

usage: console_in_browser.py SERVICE_BIN [SCREENSHOT_DIR]
"""
import email.policy
import http.server
import json
import os
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'helpers'))
from smtp_relay import Relay  # noqa: E402

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException, StaleElementReferenceException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

HOSTILE = '<img src=x onerror=alert(1)>'
BIDI = 'Facture \u202efdp.exe'
ANSWER = "Merci ! C'est corrigé dans la version 1.1."
PASSWORDS = {'alice': 'le mot de passe d’alice', 'bob': 'le mot de passe de bob'}


def check(condition, what):
    if not condition:
        raise AssertionError(what)


class Rig:
    DEVICE = '0C9F5B1E-7A4D-4E8B-9D2C-3F6A1B0E5D47'

    def __init__(self, service_bin, work):
        self.service_bin, self.work = service_bin, work
        self.database = f'sqlite:{work}/service.sqlite'
        # Answers by e-mail go through a real relay: STARTTLS and a sign-in required.
        self.relay = Relay(work)
        self.config = os.path.join(work, 'velmora-service.conf')
        with open(self.config, 'w', encoding='utf-8') as f:
            f.write(self.relay.config())
        self.service = subprocess.Popen(
            [service_bin, 'serve', '--listen', '127.0.0.1:0', '--console-listen', '127.0.0.1:0',
             '--database', self.database, '--config', self.config], stdout=subprocess.PIPE,
            text=True)
        self.api = self.service.stdout.readline().split()[-1]
        self.console = self.service.stdout.readline().split()[-1]
        check(self.console.startswith('http://127.0.0.1:'), 'the service did not start')
        for name, password in PASSWORDS.items():
            self.command('console-user', 'add', name, stdin=password + '\n')

    def command(self, *args, stdin=None):
        done = subprocess.run([self.service_bin, *args, '--database', self.database,
                               '--config', self.config], input=stdin,
                              capture_output=True, text=True, timeout=30, check=True)
        return done.stdout

    def post(self, path, device=DEVICE, **members):
        """One request of the device, as the application sends it; the answer's JSON."""
        body = json.dumps({'d': device, 'v': '1.0.0', 'os': 'Debian GNU/Linux 12',
                           **members}).encode()
        request = urllib.request.Request(self.api + path, body,
                                         {'Content-Type': 'application/json'})
        with urllib.request.urlopen(request, timeout=10) as answer:
            return json.load(answer)

    def report(self, text, email=None, device=DEVICE):
        check(self.post('/api/report.php', device, text=text,
                        **({'email': email} if email else {})) == {'ok': True},
              'a report was refused')

    def sync(self):
        """The answer offered, acknowledged by a second sync as the application does."""
        offer = self.post('/api/sync.php')
        if offer['mid'] > 0:
            self.post('/api/sync.php', m=offer['mid'])
        return offer['msg']

    def crash(self, crash_child, version='1.0.0'):
        """A real crash of a program built with debugging information, sent as the
        application sends its pending report: message, stack, each frame's build and offset."""
        pending = os.path.join(self.work, 'pending-crash.txt')
        subprocess.run([crash_child, 'segv', pending], check=False)
        with open(pending, encoding='utf-8') as f:
            message, stack, rest = f.read().split('\n---\n', 2)
        frames = []
        for line in rest.split('\n---\n')[0].splitlines():
            build, offset, module, *pc = line.split(' ')
            frames.append({'build': build, 'offset': offset, 'module': module, 'pc': pc == ['pc']})
        check(self.post('/api/crash.php', kind='crash', message=message, stack=stack, v=version,
                        frames=frames, ctx={'session': 'wayland', 'desktop': 'GNOME',
                                            'qt': '6.4.2', 'mode': 'panel'}) == {'ok': True},
              'the crash was refused')

    def answers(self, device):
        talk = json.loads(self.command('conversation', device, '--json'))
        return [line for line in talk if line['from'] == 'maker']


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = '/usr/bin/chromium'
    for argument in ('--headless=new', '--no-sandbox', '--disable-gpu', '--window-size=1280,860',
                     '--lang=fr-FR', '--disable-dev-shm-usage'):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)


def nothing_ran(driver):
    try:
        driver.switch_to.alert
        return False
    except NoAlertPresentException:
        return not driver.find_elements(By.CSS_SELECTOR, 'main img')


def sign_in(driver, wait, name, password):
    field = wait.until(lambda d: d.find_element(By.ID, 'login-name'))
    field.clear()
    field.send_keys(name)
    driver.find_element(By.ID, 'login-password').send_keys(password)
    driver.find_element(By.CSS_SELECTOR, '#login button').click()


def attacker_page(console):
    """A page on another port (same site, another origin) whose form posts an answer."""
    page = f'''<!doctype html><form method="post" action="{console}/api/reply"
      enctype="text/plain"><input name='{{"device":"x","text":"pirate","p":"' value='"}}'>
      </form><script>document.forms[0].submit()</script>'''.encode()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header('Content-Type', 'text/html')
            self.end_headers()
            self.wfile.write(page)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def run(rig, driver, screenshots):
    # A page redrawn between finding an element and reading it is read again.
    wait = WebDriverWait(driver, 15, ignored_exceptions=[StaleElementReferenceException])
    rig.report(HOSTILE, 'ana@exemple.fr')
    rig.report(BIDI)
    device = json.loads(rig.command('devices', '--json'))[0]['id']

    driver.get(rig.console)
    error = lambda d: d.find_element(By.ID, 'login-error').text
    for attempt in range(5):
        sign_in(driver, wait, 'alice', 'pas le bon mot de passe')
        wait.until(lambda d: error(d) == 'Nom ou mot de passe incorrect.' and
                   d.find_element(By.ID, 'login-password').get_attribute('value') == '')
        driver.execute_script("document.getElementById('login-error').textContent = ''")
    sign_in(driver, wait, 'alice', PASSWORDS['alice'])
    wait.until(lambda d: error(d).startswith('Trop de tentatives'))

    sign_in(driver, wait, 'bob', PASSWORDS['bob'])
    row = wait.until(lambda d: d.find_element(By.CSS_SELECTOR, 'main tbody tr.new'))
    check(driver.find_element(By.ID, 'waiting').text == '1 en attente', 'the waiting count')
    check('Facture ⟦U+202E⟧fdp.exe' in row.text, f'the bidi override shows: {row.text!r}')
    check(nothing_ran(driver), 'the inbox ran a user text')
    if screenshots:
        driver.save_screenshot(os.path.join(screenshots, 'console-inbox.png'))

    row.find_element(By.CSS_SELECTOR, 'a').click()
    texts = wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, 'ol.messages .text'))
    check(texts[0].text == HOSTILE, f'the hostile report shows as text: {texts[0].text!r}')
    check(texts[1].text == 'Facture ⟦U+202E⟧fdp.exe', f'the bidi override: {texts[1].text!r}')
    check(nothing_ran(driver), 'the conversation ran a user text')

    driver.find_element(By.ID, 'reply-text').send_keys('   ')
    driver.find_element(By.CSS_SELECTOR, 'form.reply button').click()
    wait.until(lambda d: d.find_element(By.CSS_SELECTOR, 'form.reply .error').text
               .startswith('La réponse est vide'))
    driver.find_element(By.ID, 'reply-text').clear()
    driver.find_element(By.ID, 'reply-text').send_keys(ANSWER)
    driver.find_element(By.CSS_SELECTOR, 'form.reply button').click()
    wait.until(lambda d: 'en file' in d.find_element(By.CSS_SELECTOR, 'li.maker .state').text)
    check(rig.sync() == ANSWER, 'the device received the answer')
    driver.find_element(By.ID, 'refresh').click()
    wait.until(lambda d: d.find_element(By.CSS_SELECTOR, 'li.maker .state').text ==
               "reçue par l'appareil")
    check('Le fabricant (bob)' in driver.find_element(By.CSS_SELECTOR, 'li.maker').text,
          'the answer names its author')
    if screenshots:
        driver.execute_script('window.scrollTo(0, 0)')
        driver.save_screenshot(os.path.join(screenshots, 'console-conversation.png'))

    # A crash named from its build: the group's title is its function, and the page shows the
    # program's frames with their file and line, and what the run was.
    crash_child = os.environ.get('VELMORA_CRASH_CHILD')
    if crash_child:
        rig.crash(crash_child)
        rig.command('symbols', 'add', crash_child)
        driver.get(rig.console + '/#/plantages')
        # The version's share of devices without a crash: the device crashed, 0 % of 1.
        versions = wait.until(lambda d: d.find_element(By.CSS_SELECTOR, 'main tbody')).text
        check(versions.replace('\u00a0', ' ').startswith('1.0.0 1 0 % 1 0 %'),
              f'the versions: {versions!r}')
        link = wait.until(lambda d: d.find_element(By.CSS_SELECTOR, 'main tbody a'))
        check(link.text == 'crashChildRecurse', f'the group is titled {link.text!r}')
        link.click()
        wait.until(lambda d: d.find_element(By.TAG_NAME, 'h1').text ==
                   'Plantage : crashChildRecurse')
        frames = driver.find_element(By.CSS_SELECTOR, 'ol.frames').text
        check('crashChildRecurse crash_child.cpp:' in frames, f'the frames: {frames!r}')
        check('Session\nwayland' in driver.find_element(By.CSS_SELECTOR, 'dl.facts').text,
              'the run is not shown')
        # Resolved from the page (a version is asked for), then back in a later version.
        tag = lambda d: d.find_element(By.CSS_SELECTOR, '.decisions .tag').text
        driver.find_element(By.ID, 'resolve').click()
        wait.until(lambda d: d.find_element(By.CSS_SELECTOR, '.decisions .error').text
                   .startswith('Indique la version'))
        driver.find_element(By.ID, 'resolved-version').send_keys('1.0.0')
        driver.find_element(By.ID, 'resolve').click()
        wait.until(lambda d: tag(d) == 'Résolu en 1.0.0')
        rig.crash(crash_child, '1.0.1')
        driver.find_element(By.ID, 'refresh').click()
        wait.until(lambda d: tag(d) == 'Régression en 1.0.1')
        if screenshots:
            driver.save_screenshot(os.path.join(screenshots, 'console-crash.png'))
            driver.get(rig.console + '/#/plantages')
            wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, 'main .trend'))
            driver.save_screenshot(os.path.join(screenshots, 'console-crashes.png'))

    attacker = attacker_page(rig.console)
    driver.get(f'http://127.0.0.1:{attacker.server_port}/')
    wait.until(lambda d: 'Requête refusée' in d.find_element(By.TAG_NAME, 'body').text)
    attacker.shutdown()
    check(len(rig.answers(device)) == 1, 'a cross-site form posted an answer')

    # A 400 px wide window: the header wraps and nothing makes the page scroll sideways; a
    # 200-character address is cut with an ellipsis.
    rig.report('adresse longue', 'a' * 189 + '@exemple.fr')  # 200 characters
    driver.set_window_size(400, 800)
    driver.get(rig.console + '/#/')
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, 'main td.address'))
    for page in ('/#/', '/#/plantages', '/#/conversation/' + device):
        driver.get(rig.console + page)
        wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, 'main h1'))
        wide = driver.execute_script('return document.documentElement.scrollWidth')
        check(wide <= 400, f'{page} is {wide} px wide in a 400 px window')
    driver.get(rig.console + '/#/')
    cut = wait.until(lambda d: d.find_element(By.CSS_SELECTOR, 'main td.address'))
    check(driver.execute_script('return arguments[0].scrollWidth > arguments[0].clientWidth', cut),
          'the long address is not cut')
    driver.set_window_size(1280, 860)

    # Blocked from the page, then let in again; the service keeps the flag.
    driver.get(rig.console + '/#/conversation/' + device)
    wait.until(lambda d: d.find_element(By.ID, 'block')).click()
    wait.until(lambda d: d.find_element(By.ID, 'block').text == 'Débloquer')
    check(json.loads(rig.command('export', device))['devices'][0]['blocked'] == 1,
          'the device is not blocked')
    driver.find_element(By.ID, 'block').click()
    wait.until(lambda d: d.find_element(By.ID, 'block').text == 'Bloquer')

    # The user's data: given back whole from the page, then erased after a second click.
    wait.until(lambda d: d.find_element(By.ID, 'export'))
    exported = driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "fetch('/api/export?device=' + arguments[0], {credentials: 'same-origin'})"
        ".then((r) => r.json()).then(done);", device)
    texts = [r['text'] for r in exported['data']['reports']]
    check(HOSTILE in texts and exported['data']['reports'][0]['email'] == 'ana@exemple.fr',
          f'the export: {texts!r}')
    check(exported['data']['maker_messages'][0]['text'] == ANSWER, 'the export lacks the answer')
    driver.find_element(By.ID, 'forget').click()
    confirm = wait.until(lambda d: d.find_element(By.ID, 'forget-confirm'))
    check(confirm.is_displayed() and json.loads(rig.command('devices', '--json')),
          'the data went before the confirmation')
    confirm.click()
    wait.until(lambda d: d.current_url.endswith('#/'))
    check(json.loads(rig.command('devices', '--json')) == [], 'the device is still kept')

    support_desk(rig, driver, wait, screenshots)

    driver.get(rig.console)
    logout = wait.until(lambda d: d.find_element(By.ID, 'logout'))
    wait.until(lambda d: logout.is_displayed())
    logout.click()
    wait.until(lambda d: d.find_element(By.ID, 'login').is_displayed())
    driver.get(rig.console + '/api/inbox')
    check('Session terminée' in driver.find_element(By.TAG_NAME, 'body').text,
          'the session outlived its logout')


def support_desk(rig, driver, wait, screenshots):
    """A day's work with the keyboard: search, open, a draft kept across a new sign-in, saved
    replies, older entries, answers by e-mail through the relay, several handled at once."""
    ana, eve, zoe = ('A1111111-0000-4000-8000-000000000001',
                     'E2222222-0000-4000-8000-000000000002',
                     'F3333333-0000-4000-8000-000000000003')
    rig.report('Ancien message', 'ana@exemple.fr', ana)
    # 150 more of Ana's reports, so that her conversation has pages.
    rig.command('backup', os.path.join(rig.work, 'unused.sqlite'))  # the database is migrated
    with sqlite3.connect(rig.database[len('sqlite:'):], timeout=10) as db:
        db.executemany("INSERT INTO reports (device, text, email, version, system, received, "
                       "kind) VALUES (?, ?, NULL, '1.0.0', 'L', ?, 'report')",
                       [(ana, f'Relance {i}', 1_700_000_000_000 + i) for i in range(150)])
    rig.report('La batterie reste à 0 %', 'ana@exemple.fr', ana)
    rig.report('Le panneau est vide', 'eve@exemple.fr\r\nBcc: tous@exemple.fr', eve)
    rig.report('Fenêtre trop petite', 'inconnu@exemple.fr', zoe)
    keys = lambda *typed: ActionChains(driver).send_keys(*typed).perform()

    def open_conversation(device):
        """Its page, not the one before it still on screen."""
        driver.get(rig.console + '/#/conversation/' + device)
        wait.until(lambda d: d.find_element(By.TAG_NAME, 'h1').text.endswith(device[:8]))
    driver.get(rig.console + '/#/')
    driver.refresh()  # the same address: the page would stay as it was
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, 'main tbody tr')) == 3)

    keys('?')
    check('Conversation suivante' in wait.until(lambda d: d.find_element(By.ID, 'help')).text,
          'the keys are not explained')
    keys(Keys.ESCAPE)
    keys('/')
    wait.until(lambda d: d.switch_to.active_element.get_attribute('id') == 'search')
    keys('vide panneau', Keys.ENTER)  # any order
    wait.until(lambda d: d.find_element(By.ID, 'found').text == '1 conversation')
    keys(Keys.ESCAPE, 'j', Keys.ENTER)
    wait.until(lambda d: d.find_element(By.TAG_NAME, 'h1').text.endswith(eve[:8]))
    keys('r')
    wait.until(lambda d: d.switch_to.active_element.get_attribute('id') == 'reply-text')
    keys('Brouillon pour Eve')
    driver.back()  # to the search, as it was
    wait.until(lambda d: d.find_element(By.ID, 'search').get_attribute('value') == 'vide panneau')

    # The draft outlives the session: signed out, signed in again, it is there.
    driver.find_element(By.ID, 'logout').click()
    sign_in(driver, wait, 'bob', PASSWORDS['bob'])
    open_conversation(eve)
    text = lambda d: d.find_element(By.ID, 'reply-text')
    wait.until(lambda d: text(d).get_attribute('value') == 'Brouillon pour Eve')
    # An address with a line break is never put in a mail header: refused, nothing stored.
    driver.find_element(By.ID, 'reply-email').click()
    driver.find_element(By.CSS_SELECTOR, 'form.reply button').click()
    wait.until(lambda d: d.find_element(By.CSS_SELECTOR, 'form.reply .error').text.startswith(
        "Envoi par e-mail refusé : l'adresse contient un retour à la ligne"))
    check(rig.answers(eve) == [] and rig.relay.tried == [], 'the refused answer went out')

    # A saved reply, filled in with another conversation's own address and version.
    text(driver).clear()
    text(driver).send_keys("Corrigé en {version}, je t'écris à {email}.")
    driver.find_element(By.ID, 'save-reply').click()
    wait.until(lambda d: d.find_element(By.ID, 'saved-title').is_displayed())
    driver.find_element(By.ID, 'saved-title').send_keys('Corrigé')
    driver.find_element(By.ID, 'save-reply').click()
    open_conversation(ana)
    picker = wait.until(lambda d: d.find_element(By.CSS_SELECTOR, '#saved-replies option + option'))
    check(picker.text == 'Corrigé', f'the saved reply is named {picker.text!r}')
    picker.click()
    filled = "Corrigé en 1.0.0, je t'écris à ana@exemple.fr."
    wait.until(lambda d: text(d).get_attribute('value') == filled)
    driver.find_element(By.ID, 'remove-saved').click()  # then out of the list, the text kept
    wait.until(lambda d: not d.find_elements(By.CSS_SELECTOR, '#saved-replies option + option'))

    # The newest 100 entries, then the older ones.
    shown = lambda d: len(d.find_elements(By.CSS_SELECTOR, 'ol.messages li'))
    check(shown(driver) == 100, f'{shown(driver)} entries shown, not the newest 100')
    older = driver.find_element(By.ID, 'older')
    driver.execute_script("arguments[0].scrollIntoView({block: 'center'})", older)
    older.click()
    wait.until(lambda d: shown(d) == 152 and not d.find_element(By.ID, 'older').is_displayed())

    # By e-mail too: through STARTTLS, signed in, to Ana's address; then on to the next one
    # waiting.
    driver.find_element(By.ID, 'reply-email').click()
    driver.find_element(By.CSS_SELECTOR, 'form.reply button').click()
    rig.relay.wait(lambda: rig.relay.received)
    sender, recipients, message, tls = rig.relay.received[0]
    body = message.get_body(('plain',)).get_content()
    check(tls and sender == 'support@velmoralabs.ch' and recipients == ['ana@exemple.fr'],
          f'the mail went from {sender} to {recipients}, TLS {tls}')
    check(message['Subject'] == 'Réponse à ton message sur VelmoraVovir' and
          message['Reply-To'].addresses[0].addr_spec == 'aide@velmoralabs.ch' and filled in body and
          "L'équipe de VelmoraVovir" in body, f'the mail: {message}')
    wait.until(lambda d: d.current_url.endswith('#/conversation/' + zoe) or
               d.current_url.endswith('#/conversation/' + eve))
    check(driver.execute_script('return localStorage.length') == 1, 'a sent draft was kept')
    open_conversation(ana)
    wait.until(lambda d: 'e-mail envoyé à ana@exemple.fr' in
               d.find_element(By.CSS_SELECTOR, 'li.maker .mail').text)
    # From the command line, to an address the relay refuses for good: said on the page.
    rig.command('reply', zoe, 'Merci pour ton message', '--email')
    open_conversation(zoe)
    failed = lambda d: d.find_elements(By.CSS_SELECTOR, 'li.maker .mail-failed')
    for _ in range(60):
        if failed(driver):
            break
        rig.relay.wait(lambda: 'inconnu@exemple.fr' in rig.relay.tried)
        driver.find_element(By.ID, 'refresh').click()
        wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, 'li.maker'))
    check('code 550' in failed(driver)[0].text, f'the failure: {failed(driver)[0].text!r}')
    # Deferred by the relay: it waits, with why, to be tried again later.
    later = 'B4444444-0000-4000-8000-000000000004'
    rig.report('Plus tard', 'plus-tard@exemple.fr', later)
    rig.command('reply', later, 'Merci', '--email')
    rig.relay.wait(lambda: 'plus-tard@exemple.fr' in rig.relay.tried)
    deadline = time.monotonic() + 15
    while not rig.answers(later)[0]['mail']['error'] and time.monotonic() < deadline:
        time.sleep(0.1)
    mail = rig.answers(later)[0]['mail']
    check(mail['state'] == 'pending' and mail['tries'] == 1 and '451' in mail['error'],
          f'the deferred mail: {mail}')
    if screenshots:
        open_conversation(ana)
        wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, 'li.maker .mail'))
        driver.execute_script("document.querySelector('li.maker').scrollIntoView()")
        driver.save_screenshot(os.path.join(screenshots, 'console-support.png'))

    # Several handled at once, then one more with the keyboard.
    rig.report('Toujours vide', None, zoe)
    driver.get(rig.console + '/#/?attente=1')
    boxes = wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, 'main tbody input') if
                       d.find_element(By.ID, 'found').text == '2 conversations' else None)
    for box in boxes:
        box.click()
    driver.find_element(By.ID, 'handled-selected').click()
    wait.until(lambda d: d.find_element(By.ID, 'waiting').text == '')
    rig.report('Encore vide', None, zoe)
    driver.get(rig.console + '/#/')
    wait.until(lambda d: d.find_element(By.ID, 'waiting').text == '1 en attente')
    keys('j', 'e')
    wait.until(lambda d: d.find_element(By.ID, 'waiting').text == '')


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    screenshots = sys.argv[2] if len(sys.argv) > 2 else None
    with tempfile.TemporaryDirectory() as work:
        rig = Rig(sys.argv[1], work)
        driver = browser()
        try:
            run(rig, driver, screenshots)
        except Exception as failure:
            print(f'console_in_browser: FAIL: {type(failure).__name__}: {failure}',
                  file=sys.stderr)
            traceback.print_tb(failure.__traceback__, file=sys.stderr)
            driver.save_screenshot(os.path.join(work, 'failure.png'))
            print(driver.find_element(By.TAG_NAME, 'body').text, file=sys.stderr)
            return 1
        finally:
            driver.quit()
            rig.relay.stop()
            rig.service.terminate()
            rig.service.wait(10)
    print('console_in_browser: PASS')
    return 0


if __name__ == '__main__':
    sys.exit(main())
