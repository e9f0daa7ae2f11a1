"""A real SMTP relay for the tests: Debian's aiosmtpd on loopback, STARTTLS required before
anything else, sign-in required, with a throw-away certificate made by openssl. Mail to an
address beginning with "plus-tard" is deferred (451), to "inconnu" refused for good (550)."""
import email
import email.policy
import os
import socket
import ssl
import subprocess
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult

USER, PASSWORD = 'velmora', 'mot de passe du relais'


def free_port():
    """aiosmtpd's controller checks its server by connecting to the port it was given."""
    with socket.socket() as probe:
        probe.bind(('127.0.0.1', 0))
        return probe.getsockname()[1]


class Relay:
    def __init__(self, work):
        self.cert = os.path.join(work, 'relay-cert.pem')
        key = os.path.join(work, 'relay-key.pem')
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '1',
                        '-subj', '/CN=127.0.0.1', '-addext', 'subjectAltName=IP:127.0.0.1',
                        '-keyout', key, '-out', self.cert], check=True, capture_output=True)
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(self.cert, key)
        self.credentials = os.path.join(work, 'relay-credentials')
        with open(self.credentials, 'w', encoding='utf-8') as f:
            f.write(f'{USER}\n{PASSWORD}\n')
        self.received, self.tried = [], []
        self.arrived = threading.Condition()
        self.port = free_port()
        self.controller = Controller(
            self, hostname='127.0.0.1', port=self.port, tls_context=context, require_starttls=True,
            auth_required=True, auth_require_tls=True, authenticator=self.authenticate)
        self.controller.start()

    @staticmethod
    def authenticate(server, session, envelope, mechanism, auth_data):
        return AuthResult(success=auth_data.login == USER.encode() and
                          auth_data.password == PASSWORD.encode())

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        with self.arrived:
            self.tried.append(address)
            self.arrived.notify_all()
        if address.startswith('plus-tard'):
            return '451 4.3.0 Try again later'
        if address.startswith('inconnu'):
            return '550 5.1.1 No such mailbox'
        envelope.rcpt_tos.append(address)
        return '250 OK'

    async def handle_DATA(self, server, session, envelope):
        message = email.message_from_bytes(envelope.content, policy=email.policy.default)
        with self.arrived:
            self.received.append((envelope.mail_from, envelope.rcpt_tos, message,
                                  session.ssl is not None))
            self.arrived.notify_all()
        return '250 Message accepted'

    def wait(self, condition, seconds=30):
        with self.arrived:
            if not self.arrived.wait_for(condition, seconds):
                raise AssertionError('the relay did not receive what was expected')

    def config(self):
        return (f'smtp-url = smtp://127.0.0.1:{self.port}\n'
                f'smtp-credentials-file = {self.credentials}\n'
                f'smtp-ca-file = {self.cert}\n'
                'mail-from = support@velmoralabs.ch\n'
                'reply-to = aide@velmoralabs.ch\n')

    def stop(self):
        self.controller.stop()
