// Type declarations for lumetta.js, the page side of the Lumetta bridge.

export type ResultType = 'v' | 'e' | 's' | 'b' | 'd' | 'f';

export interface Result {
    /** The native result's type tag. */
    type: ResultType;
    /** string for 's' and 'e', boolean for 'b', number for 'd' and 'f', undefined for 'v'. */
    value: string | boolean | number | undefined;
    /** The result string as the native side sent it. */
    raw: string;
}

export type Argument = string | null | undefined;

/** A Result whose type tag is one of T, or "e" when the call failed. */
export type TypedResult<T extends ResultType> = Result & { type: T | 'e' };

// BEGIN GENERATED from the bridge reference table
/** Every bridge function: its arguments and the result types it answers. */
export interface BridgeFunctions {
    /** declares the page ready (the host waits for this before some page scripts). Result: nothing. */
    '$$app_ready': () => TypedResult<'v'>;
    /** switches event delivery into the page on or off. Result: always true. */
    '$$app_startevent': (on: string) => TypedResult<'b'>;
    /** takes one queued event without delivery. Result: the oldest queued event, or "v" when none. */
    '$$app_getevent': () => TypedResult<'v' | 's'>;
    /** reads or writes the page's "pref" setting. Result: read: the stored text ("" when none); write: nothing. */
    '$$app_storage': (text?: string | null) => TypedResult<'v' | 's'>;
    /** reads or writes a page-chosen setting. Result: read: the stored text ("" when none); write: nothing, or an error when it could not be saved. */
    '$$app_storage2': (key: string, text?: string | null) => TypedResult<'v' | 's'>;
    /** the in-process text clipboard shared by the page's calls (not the system's). Result: read: the text; write: nothing. */
    '$$app_clipboard': (text?: string | null) => TypedResult<'v' | 's'>;
    /** runs a native command: "convert" (impulse-response conversion; "req": "progress"/"cancel") or "wavstat". Result: nothing; the outcome comes as an app command event. */
    '$$app_control': (command: string) => TypedResult<'v'>;
    /** navigates the main view. Result: nothing. */
    '$$app_locate': (url: string) => TypedResult<'v'>;
    /** allows dropping files on the page (each becomes an "open" command event). Result: nothing. */
    '$$app_dragdrop': (on: string) => TypedResult<'v'>;
    /** the files last dragged in. Result: array of the paths last dragged over the view. */
    '$$app_dropfiles': () => TypedResult<'s'>;
    /** ends the application (the answer to the "exit" command event). Result: nothing. */
    '$$app_exit': () => TypedResult<'v'>;
    /** does nothing. Result: nothing. */
    '$$app_importfile': () => TypedResult<'v'>;
    /** does nothing. Result: nothing. */
    '$$app_importmultiplefile': () => TypedResult<'v'>;
    /** does nothing. Result: nothing. */
    '$$app_exportfile': () => TypedResult<'v'>;
    /** does nothing. Result: nothing. */
    '$$app_exportmultiplefile': () => TypedResult<'v'>;
    /** lists the bridge functions (lets a page refuse unknown names). Result: sorted array of every bridge function name this application has. */
    '$$app_functions': () => TypedResult<'s'>;
    /** the path separator. Result: "/". */
    '$$fs_separator': () => TypedResult<'s'>;
    /** a well-known directory. Result: directory path ending in "/". */
    '$$fs_path': (location?: string | null) => TypedResult<'s'>;
    /** mounted volumes. Result: array of volume records. */
    '$$fs_volumes': () => TypedResult<'s'>;
    /** the items directly inside a directory. Result: array of entry records (name, size, directory, dates). */
    '$$fs_contents': (directory: string, exclude?: string | null) => TypedResult<'s'>;
    /** facts about one item; "e" + reason when it cannot be read. Result: entry record. */
    '$$fs_stat': (path: string) => TypedResult<'s'>;
    /** opens with the user's default application. Result: nothing. */
    '$$fs_exec': (target: string) => TypedResult<'v'>;
    /** creates a directory with its parents; "e" + reason on failure. Result: "" on success. */
    '$$fs_mkdir': (path: string) => TypedResult<'s'>;
    /** removes an item with its contents; "e" + reason on failure. Result: "" on success. */
    '$$fs_unlink': (path: string) => TypedResult<'s'>;
    /** copies an item; "e" + reason on failure. Result: "" on success. */
    '$$fs_copy': (source: string, destination: string) => TypedResult<'s'>;
    /** moves an item; "e" + reason on failure. Result: "" on success. */
    '$$fs_move': (source: string, destination: string) => TypedResult<'s'>;
    /** unpacks an archive; "e" + "unzip failed." on failure. Result: "" on success. */
    '$$fs_unzip': (archive: string, destination: string) => TypedResult<'s'>;
    /** reads a text file; "e" + reason when unreadable or not UTF-8. Result: the whole file as UTF-8 text. */
    '$$fs_readString': (path: string) => TypedResult<'s'>;
    /** reads bytes of a file. Result: the bytes read. */
    '$$fs_readData': (path: string, options?: string | null) => TypedResult<'s'>;
    /** replaces a file's content with the text. Result: "" on success. */
    '$$fs_writeString': (path: string, text: string) => TypedResult<'s'>;
    /** appends the text (creates the file). Result: "" on success. */
    '$$fs_appendString': (path: string, text: string) => TypedResult<'s'>;
    /** replaces a file's content with the bytes. Result: "" on success. */
    '$$fs_writeData': (path: string, hex: string) => TypedResult<'s'>;
    /** appends the bytes (creates the file). Result: "" on success. */
    '$$fs_appendData': (path: string, hex: string) => TypedResult<'s'>;
    /** open dialog; the choice comes as an event. Result: nothing. */
    '$$fs_openfilename': (extensions?: string | null, directory?: string | null) => TypedResult<'v'>;
    /** open dialog; the choice comes as an event. Result: nothing. */
    '$$fs_openfilenamev2': (extensions?: string | null) => TypedResult<'v'>;
    /** save dialog; the choice comes as an event. Result: nothing. */
    '$$fs_savefilename': (path?: string | null, extension?: string | null) => TypedResult<'v'>;
    /** folder dialog; the choice comes as an event. Result: nothing. */
    '$$fs_choosefolder': (directory?: string | null) => TypedResult<'v'>;
    /** unmounts and ejects a volume. Result: nothing. */
    '$$fs_unmount': (path: string) => TypedResult<'v'>;
    /** does nothing. Result: nothing. */
    '$$fs_openmediafile': () => TypedResult<'v'>;
    /** removes a file from the documents directory. Result: "" on success. */
    '$$fs_deletemediafile': (name: string) => TypedResult<'s'>;
    /** runs a command; its output and end come as events. Result: the process id; 0 when the words are missing or the command cannot start. */
    '$$sh_exec': (words: string) => TypedResult<'d'>;
    /** asks a desktop application with this process id to quit. Result: nothing. */
    '$$sh_kill': (pid: string) => TypedResult<'v'>;
    /** text to bytes. Result: the text's UTF-8 bytes. */
    '$$util_bytes': (text: string) => TypedResult<'s'>;
    /** bytes to text. Result: the text; "" when not valid UTF-8. */
    '$$util_text': (hex: string) => TypedResult<'s'>;
    /** no products. Result: nothing. */
    '$$store_query': () => TypedResult<'v'>;
    /** nothing purchased. Result: []. */
    '$$store_purchased': () => TypedResult<'s'>;
    /** does nothing. Result: nothing. */
    '$$store_launchflow': () => TypedResult<'v'>;
    /** does nothing. Result: nothing. */
    '$$store_accept': () => TypedResult<'v'>;
    /** restoring always fails. Result: nothing. */
    '$$store_restore': () => TypedResult<'v'>;
    /** push-notification token. Result: the device token, "" when none. */
    '$$notification_token': () => TypedResult<'s'>;
    /** does nothing. Result: nothing. */
    '$$notification_badge': () => TypedResult<'v'>;
    /** speech recognition is not available. Result: nothing. */
    '$$recognizer_start': () => TypedResult<'v'>;
    /** does nothing. Result: nothing. */
    '$$recognizer_stop': () => TypedResult<'v'>;
    /** places and sizes the panel. Result: nothing. */
    '$$zev_viewPositionConfig': (geometry: string) => TypedResult<'v'>;
    /** shows the panel. Result: nothing. */
    '$$zev_show': () => TypedResult<'v'>;
    /** hides the panel. Result: nothing. */
    '$$zev_hide': () => TypedResult<'v'>;
    /** loads a page in the panel. Result: nothing. */
    '$$zev_openPage': (url: string) => TypedResult<'v'>;
    /** calls the panel page's onSendMsgToZEV. Result: nothing. */
    '$$zev_sendMsgToZEV': (message: string) => TypedResult<'v'>;
    /** MIDI sources. Result: array of source endpoint records. */
    '$$midi_inendpoints': () => TypedResult<'s'>;
    /** connects sources to the input port. Result: nothing. */
    '$$midi_inconnect': (endpoint?: string | null) => TypedResult<'v'>;
    /** disconnects sources. Result: nothing. */
    '$$midi_indisconnect': (endpoint?: string | null) => TypedResult<'v'>;
    /** MIDI destinations. Result: array of destination endpoint records. */
    '$$midi_outendpoints': () => TypedResult<'s'>;
    /** connects destinations to the output port. Result: nothing. */
    '$$midi_outconnect': (endpoint?: string | null) => TypedResult<'v'>;
    /** disconnects destinations. Result: nothing. */
    '$$midi_outdisconnect': (endpoint?: string | null) => TypedResult<'v'>;
    /** sends to every connected destination. Result: nothing. */
    '$$midi_send': (hex: string) => TypedResult<'v'>;
    /** opens the system's MIDI setup tool. Result: nothing. */
    '$$midi_panel': () => TypedResult<'v'>;
    /** creates further MIDI clients 0..count-1. Result: nothing. */
    '$$midix_client': (count: string) => TypedResult<'v'>;
    /** MIDI sources. Result: array of source endpoint records. */
    '$$midix_inendpoints': () => TypedResult<'s'>;
    /** connects sources to a client's input. Result: nothing. */
    '$$midix_inconnect': (index: string, endpoint?: string | null) => TypedResult<'v'>;
    /** disconnects sources from a client. Result: nothing. */
    '$$midix_indisconnect': (index: string, endpoint?: string | null) => TypedResult<'v'>;
    /** MIDI destinations. Result: array of destination endpoint records. */
    '$$midix_outendpoints': () => TypedResult<'s'>;
    /** connects destinations to a client's output. Result: nothing. */
    '$$midix_outconnect': (index: string, endpoint?: string | null) => TypedResult<'v'>;
    /** disconnects destinations from a client. Result: nothing. */
    '$$midix_outdisconnect': (index: string, endpoint?: string | null) => TypedResult<'v'>;
    /** sends through a client's output. Result: nothing. */
    '$$midix_send': (index: string, hex: string) => TypedResult<'v'>;
    /** passes a client's input through to its output. Result: nothing. */
    '$$midix_thru': (index: string, on: string) => TypedResult<'v'>;
    /** opens the system's MIDI setup tool. Result: nothing. */
    '$$midix_panel': () => TypedResult<'v'>;
    /** does nothing. Result: -1 when absent, else nothing. */
    '$$tgif_buffer': (value?: string | null) => TypedResult<'v' | 'd'>;
    /** does nothing. Result: 0 when absent, else nothing. */
    '$$tgif_param': (_arg1?: null, value?: string | null) => TypedResult<'v' | 'd'>;
    /** does nothing. Result: nothing. */
    '$$tgif_send': () => TypedResult<'v'>;
    /** does nothing. Result: nothing. */
    '$$tgif_thru': () => TypedResult<'v'>;
    /** browses the local network for a service type. Result: true when a search started, false while one runs. */
    '$$netservice_search': (type: string) => TypedResult<'b'>;
    /** ends the search. Result: nothing. */
    '$$netservice_stop': () => TypedResult<'v'>;
    /** scans for peripherals. Result: nothing. */
    '$$ble_scanstart': (services?: string | null) => TypedResult<'v'>;
    /** stops scanning. Result: nothing. */
    '$$ble_scanstop': () => TypedResult<'v'>;
    /** connects a peripheral. Result: nothing. */
    '$$ble_connect': (id: string) => TypedResult<'v'>;
    /** disconnects. Result: nothing. */
    '$$ble_disconnect': (id?: string | null) => TypedResult<'v'>;
    /** discovers a service's characteristics. Result: nothing. */
    '$$ble_discover': (id: string, service: string) => TypedResult<'v'>;
    /** a characteristic's properties. Result: {read, write, writeWithoutResponse, notify, indicate, broadcast} booleans, or {}. */
    '$$ble_properties': (characteristic: string) => TypedResult<'s'>;
    /** subscribes to value changes. Result: nothing. */
    '$$ble_notify': (characteristic: string, on: string) => TypedResult<'v'>;
    /** reads a value. Result: nothing. */
    '$$ble_read': (characteristic: string) => TypedResult<'v'>;
    /** writes with response. Result: nothing. */
    '$$ble_write': (characteristic: string, hex: string) => TypedResult<'v'>;
    /** writes without response. Result: nothing. */
    '$$ble_writewithoutresponse': (characteristic: string, hex: string) => TypedResult<'v'>;
    /** searches the local network for instruments. Result: nothing. */
    '$$dlk_discovery': () => TypedResult<'v'>;
    /** the current device. Result: the connected device's record, "" when none. */
    '$$dlk_device': () => TypedResult<'s'>;
    /** connects to an instrument (drops the current connection first, without an event). Result: nothing. */
    '$$dlk_connect': (device: string) => TypedResult<'v'>;
    /** drops the connection (no event). Result: nothing. */
    '$$dlk_disconnect': () => TypedResult<'v'>;
    /** sends MIDI to the instrument. Result: nothing. */
    '$$dlk_send': (hex: string) => TypedResult<'v'>;
    /** the link's state for meters (does not disturb the held peaks). Result: {connected, output, input, outputConnected, inputConnected, timeStamps}: the device's last audio status records as they came. */
    '$$dlk_status': () => TypedResult<'s'>;
    /** sets the instrument's audio input mode. Result: nothing. */
    '$$dlk_inputmode': (mode: string) => TypedResult<'v'>;
    /** reads or sets the connect time-out. Result: the connect time-out in seconds. */
    '$$dlk_timeout': (seconds?: string | null) => TypedResult<'d'>;
    /** reads or sets the keep-alive time-out. Result: the keep-alive time-out in seconds. */
    '$$dlk_keepalive': (seconds?: string | null) => TypedResult<'d'>;
    /** input devices. Result: array of audio device records. */
    '$$audio_inputs': () => TypedResult<'s'>;
    /** output devices. Result: array of audio device records. */
    '$$audio_outputs': () => TypedResult<'s'>;
    /** an audio file's format. Result: {format, channels, samplerate, bitdepth, bitrate, duration}; format "error" when unreadable. */
    '$$audio_format': (path: string) => TypedResult<'s'>;
    /** converts a file. Result: nothing. */
    '$$audio_convert': (source: string, options: string) => TypedResult<'v'>;
    /** splits channels into mono files. Result: nothing. */
    '$$audio_split': (source: string, destinations: string) => TypedResult<'v'>;
    /** writes the file reversed. Result: nothing. */
    '$$audio_reverse': (source: string, destination: string) => TypedResult<'v'>;
    /** reads or sets the output device. Result: the current device UID, "" when none. */
    '$$player_device': (uid?: string | null) => TypedResult<'s'>;
    /** opens a file for playback. Result: true when opened. */
    '$$player_open': (path: string) => TypedResult<'b'>;
    /** plays. Result: nothing. */
    '$$player_play': () => TypedResult<'v'>;
    /** pauses. Result: nothing. */
    '$$player_pause': () => TypedResult<'v'>;
    /** stops. Result: nothing. */
    '$$player_stop': () => TypedResult<'v'>;
    /** the open file. Result: the open file's path, "" when none. */
    '$$player_file': () => TypedResult<'s'>;
    /** status. Result: the player's status. */
    '$$player_status': () => TypedResult<'d'>;
    /** channels. Result: channel count. */
    '$$player_channels': () => TypedResult<'d'>;
    /** level meter. Result: peak power in dB. */
    '$$player_peakpower': (channel: string) => TypedResult<'f'>;
    /** current time. Result: position in seconds. */
    '$$player_time': () => TypedResult<'f'>;
    /** total time. Result: length in seconds. */
    '$$player_totaltime': () => TypedResult<'f'>;
    /** seeks. Result: nothing. */
    '$$player_locate': (seconds: string) => TypedResult<'v'>;
    /** playback speed. Result: the speed after the change. */
    '$$player_speed': (speed?: string | null) => TypedResult<'f'>;
    /** playback volume. Result: the volume after the change. */
    '$$player_volume': (volume?: string | null) => TypedResult<'f'>;
    /** chooses the local output or the device link. Result: nothing. */
    '$$player_output': (link: string) => TypedResult<'v'>;
    /** reads or sets the input device. Result: the current device UID, "" when none. */
    '$$recorder_device': (uid?: string | null) => TypedResult<'s'>;
    /** creates the file to record into. Result: true when created. */
    '$$recorder_create': (path: string, format: string) => TypedResult<'b'>;
    /** records. Result: nothing. */
    '$$recorder_record': () => TypedResult<'v'>;
    /** pauses. Result: nothing. */
    '$$recorder_pause': () => TypedResult<'v'>;
    /** stops and finishes the file. Result: nothing. */
    '$$recorder_stop': (now?: string | null) => TypedResult<'v'>;
    /** the file. Result: the file's path, "" when none. */
    '$$recorder_file': () => TypedResult<'s'>;
    /** status. Result: the recorder's status. */
    '$$recorder_status': () => TypedResult<'d'>;
    /** channels. Result: channel count. */
    '$$recorder_channels': () => TypedResult<'d'>;
    /** level meter. Result: peak power in dB. */
    '$$recorder_peakpower': (channel: string) => TypedResult<'f'>;
    /** current time. Result: recorded seconds. */
    '$$recorder_time': () => TypedResult<'f'>;
    /** input volume. Result: the volume after the change. */
    '$$recorder_volume': (volume?: string | null) => TypedResult<'f'>;
    /** chooses the local input or the device link. Result: nothing. */
    '$$recorder_input': (link: string) => TypedResult<'v'>;
    /** downloads a file. Result: the transfer number. */
    '$$http_download': (url: string, destination?: string | null) => TypedResult<'d'>;
    /** uploads a file. Result: the transfer number; "e" + reason without a source. */
    '$$http_upload': (url: string, source: string) => TypedResult<'d'>;
    /** cancels a transfer. Result: nothing. */
    '$$http_cancel': (number: string) => TypedResult<'v'>;
    /** opens a TCP connection. Result: the connection number, -1 when the connection failed. */
    '$$tcpip_connect': (address: string, port: string) => TypedResult<'d'>;
    /** sends bytes. Result: nothing. */
    '$$tcpip_write': (number: string, hex: string) => TypedResult<'v'>;
    /** closes a connection. Result: nothing. */
    '$$tcpip_close': (number: string) => TypedResult<'v'>;
    /** the default key/IV pair. Result: key/IV text: 32 hex digits, "/", 32 hex digits. */
    '$$security_kiv': (hex?: string | null) => TypedResult<'s'>;
    /** makes a UUID. Result: a new random UUID, upper case. */
    '$$security_uuidgen': () => TypedResult<'s'>;
    /** MD5 digest. Result: 32 upper-case hex digits; "" when empty or missing. */
    '$$security_md5': (data: string) => TypedResult<'s'>;
    /** enciphers for this machine. Result: ciphertext bound to this computer and user; "" on failure. */
    '$$security_encipher': (text: string) => TypedResult<'s'>;
    /** deciphers. Result: the plain text; "" on failure. */
    '$$security_decipher': (hex: string) => TypedResult<'s'>;
    /** AES-128-CBC with PKCS#7 padding. Result: ciphertext; "" on failure. */
    '$$security_aesencrypt': (hex: string, key?: string | null) => TypedResult<'s'>;
    /** AES-128-CBC decryption. Result: plain bytes; "" on failure. */
    '$$security_aesdecrypt': (hex: string, key?: string | null) => TypedResult<'s'>;
    /** triple-DES-ECB with PKCS#7 padding. Result: ciphertext; "" on failure. */
    '$$security_desencrypt': (hex: string, key?: string | null) => TypedResult<'s'>;
    /** triple-DES-ECB decryption. Result: plain bytes; "" on failure. */
    '$$security_desdecrypt': (hex: string, key?: string | null) => TypedResult<'s'>;
}

/** Every event: its fields after the module and event names, per module. */
export interface BridgeEvents {
    app: {
        /** a file, URL, window or native command reaches the page. */
        command: [command: string, argument: string];
    };
    fs: {
        /** an open dialog closed. */
        openfilename: [path: string];
        /** a save dialog closed. */
        savefilename: [path: string];
        /** a folder dialog closed. */
        choosefolder: [path: string];
        /** a volume was unmounted. */
        unmounted: [path: string];
        /** unmounting failed. */
        unmountfailed: [path: string, reason: string];
    };
    sh: {
        /** a shell command wrote output or ended. */
        stdout: [pid: string, text: string];
    };
    store: {
        /** restoring purchases failed. */
        restorefailed: [];
    };
    notification: {
        /** a new push token. */
        refresh: [token: string];
        /** a push notification arrived. */
        received: [data: string];
    };
    recognizer: {
        /** speech recognition failed. */
        error: [message: string];
        /** a speech result (event name: the result type). */
        result: [payload: string];
    };
    zev: {
        /** the panel page called webkit.messageHandlers.sendMsgToZOM.postMessage. */
        onSendMsgToZOM: [message: string];
        /** a navigation in the panel finished or failed. */
        onZevWebViewNotify: [code: string];
    };
    midi: {
        /** a MIDI endpoint appeared or went away. */
        changed: [];
        /** an endpoint could not be connected. */
        connectfailed: [endpoint: string];
        /** the MIDI service failed. */
        error: [code: string];
        /** a MIDI message arrived on a connected source. */
        message: [hex: string, time: string];
    };
    midix: {
        /** a MIDI endpoint appeared or went away. */
        changed: [];
        /** an endpoint could not be connected. */
        connectfailed: [client: string, endpoint: string];
        /** the MIDI service failed. */
        error: [client: string, code: string];
        /** a MIDI message arrived at a client. */
        message: [client: string, hex: string, time: string];
    };
    netservice: {
        /** a service was found and resolved. */
        resolved: [service: string];
        /** a service went away. */
        lost: [name: string];
        /** the search ended. */
        stopped: [code: string];
    };
    ble: {
        /** a scan was refused: no permission. */
        unauthorized: [];
        /** an advertisement was received. */
        found: [id: string, name: string, rssi: string];
        /** a connection failed. */
        connectfailed: [id: string, name: string];
        /** a peripheral connected. */
        connected: [id: string, name: string];
        /** a peripheral disconnected (or the adapter went off). */
        disconnected: [id: string, name: string];
        /** discovery failed. */
        discoverfailed: [id: string, reason: string];
        /** a service's characteristics were discovered. */
        discovered: [id: string, service: string, characteristics: string];
        /** a write with response was confirmed. */
        write: [characteristic: string, error: string];
        /** a read completed or a notification arrived. */
        changed: [characteristic: string, hex: string, error: string];
    };
    dlk: {
        /** an instrument answered. */
        found: [device: string];
        /** a connection failed. */
        connectfailed: [device: string];
        /** the link is up. */
        connected: [device: string];
        /** the link closed. */
        closed: [device: string];
        /** the link failed. */
        error: [device: string];
        /** MIDI from the instrument. */
        message: [hex: string, time: string];
    };
    audio: {
        /** an audio device appeared or went away. */
        changed: [];
        /** a conversion succeeded. */
        converted: [source: string, destinations: string];
        /** a conversion failed. */
        convertfailed: [source: string];
    };
    player: {
        /** playback stopped. */
        stop: [path: string];
        /** the end of the file (after stop). */
        eof: [path: string];
        /** reading failed (after stop). */
        error: [path: string];
    };
    recorder: {
        /** the file was finished. */
        stop: [path: string];
        /** writing failed (stop follows). */
        error: [path: string];
    };
    http: {
        /** a transfer moved on. */
        progress: [number: string, total: string, done: string];
        /** a transfer finished. */
        completed: [number: string, path: string];
        /** a transfer failed. */
        error: [number: string, url: string];
    };
    tcpip: {
        /** bytes arrived. */
        read: [number: string, hex: string];
        /** the connection ended. */
        closed: [number: string];
    };
}
// END GENERATED

export type FunctionName = keyof BridgeFunctions;
export type ModuleName = keyof BridgeEvents;
export type EventName<M extends ModuleName> = keyof BridgeEvents[M] & string;

/** Receives an event's own fields (after module and event name) and the whole event text. */
export type EventHandler = (fields: string[], raw: string) => void;

/** A MIDI endpoint record as listed by sources() and destinations(). */
export interface MidiEndpoint {
    MIDIDeviceNameKey: string;
    MIDIEntityNameKey: string;
    MIDIEndpointUIDKey: number;
    MIDIEndpointIndexKey: number;
}

/** MIDI bytes: hex text (two digits per byte, blanks between bytes allowed), a Uint8Array or
 *  an array of 0..255. Anything else is refused before it is sent. */
export type MidiData = string | Uint8Array | number[];

export interface MidiHelpers {
    sources(): Promise<MidiEndpoint[]>;
    destinations(): Promise<MidiEndpoint[]>;
    /** Without an endpoint: every current one. */
    connectInput(endpoint?: MidiEndpoint): Promise<void>;
    disconnectInput(endpoint?: MidiEndpoint): Promise<void>;
    connectOutput(endpoint?: MidiEndpoint): Promise<void>;
    disconnectOutput(endpoint?: MidiEndpoint): Promise<void>;
    /** Sends to every connected destination; at most 512 bytes. */
    send(data: MidiData): Promise<void>;
    /** Every complete message (SysEx whole); time in milliseconds, 32-bit, wrapping. */
    onMessage(handler: (bytes: Uint8Array, timeMs: number, hex: string) => void): () => void;
    /** An endpoint appeared or went away. */
    onChange(handler: () => void): () => void;
}

export interface StoreHelpers {
    /** The stored text, "" when none. */
    get(key: string): Promise<string>;
    /** Rejects when the setting could not be saved. */
    set(key: string, text: string): Promise<void>;
}

export interface FsHelpers {
    /** A well-known directory (home, documents, library, temporary, ...), ending in "/". */
    path(name?: string): Promise<string>;
    stat(path: string): Promise<Record<string, unknown>>;
    list(directory: string): Promise<Record<string, unknown>[]>;
    readText(path: string): Promise<string>;
    readBytes(path: string, options?: { offset?: number; length?: number }): Promise<Uint8Array>;
    writeText(path: string, text: string): Promise<void>;
    writeBytes(path: string, bytes: MidiData): Promise<void>;
    mkdir(path: string): Promise<void>;
    remove(path: string): Promise<void>;
}

export interface ShellHelpers {
    /** Runs a command given as its words (no shell); resolves when its output has ended. */
    run(argv: string[], options?: { onOutput?: (text: string) => void }):
        Promise<{ pid: number; output: string }>;
    kill(pid: number): Promise<void>;
}

export interface IrHelpers {
    /** Converts an impulse-response WAV file; resolves with the parameter file (32-bit
     *  little-endian floats). Progress in percent; interval: polling period in ms. */
    convert(path: string, options?: { onProgress?: (percent: number) => void; interval?: number }):
        Promise<{ path: string; bytes: Uint8Array }>;
    cancel(): Promise<void>;
}

export type PanelOutcome = 'loaded' | 'failed' | 'timedout' | 'unreachable';

export interface PanelHelpers {
    /** Navigation codes of the "zev" "onZevWebViewNotify" event by name. */
    readonly codes: { [code: number]: PanelOutcome };
    place(rect: { x: number; y: number; width: number; height: number }): Promise<void>;
    show(): Promise<void>;
    hide(): Promise<void>;
    /** Loads a page (relative addresses resolve against this page); rejects with an Error whose
     *  `code` is the navigation code when it fails. */
    load(url: string): Promise<'loaded'>;
    /** Calls the panel page's onSendMsgToZEV(text), escaped for it. */
    send(text: string): Promise<void>;
    /** Messages the panel page posts with webkit.messageHandlers.sendMsgToZOM. */
    onMessage(handler: (text: string) => void): () => void;
}

export interface LumettaApi {
    /** True inside Lumetta (the message handlers exist). */
    available(): boolean;
    parse(raw: string | null | undefined): Result;
    /** Calls a bridge function ("$$fs_stat") over the "lumetta2" message channel; rejects a
     *  name the application does not have. */
    call<N extends FunctionName>(
        name: N, ...args: Parameters<BridgeFunctions[N]>): Promise<ReturnType<BridgeFunctions[N]>>;
    /** As call, over "lumetta1": the result is also stored in a page variable named by the body. */
    callVar<N extends FunctionName>(
        name: N, ...args: Parameters<BridgeFunctions[N]>): Promise<ReturnType<BridgeFunctions[N]>>;
    /** Calls synchronously over the prompt channel; arguments are percent-encoded. */
    callSync<N extends FunctionName>(
        name: N, ...args: Parameters<BridgeFunctions[N]>): ReturnType<BridgeFunctions[N]>;
    /** Calls over the loopback HTTP channel; the function runs off the main thread. */
    callXHR<N extends FunctionName>(
        name: N, ...args: Parameters<BridgeFunctions[N]>): Promise<ReturnType<BridgeFunctions[N]>>;
    /** Fire and forget over the "prompt" message handler. */
    send<N extends FunctionName>(name: N, ...args: Parameters<BridgeFunctions[N]>): void;
    /** Subscribes to events of a module ('*' for any module or event); returns the unsubscriber. */
    on<M extends ModuleName, E extends EventName<M>>(
        module: M, event: E,
        handler: (fields: BridgeEvents[M][E], raw: string) => void): () => void;
    /** Every event of a module ('*'), or of every module ('*', '*'). */
    on(module: ModuleName | '*', event: '*', handler: EventHandler): () => void;
    /** Switches event delivery on and declares the page ready (done automatically at load). */
    start(): Promise<void>;
    /** The next event of this module and name (accepted by filter); rejects after timeout ms. */
    once<M extends ModuleName, E extends EventName<M>>(
        module: M, event: E,
        options?: { timeout?: number; filter?: (fields: BridgeEvents[M][E], raw: string) => boolean }):
        Promise<BridgeEvents[M][E]>;
    /** The names of the application's bridge functions. */
    functions(): Promise<string[]>;
    midi: MidiHelpers;
    store: StoreHelpers;
    fs: FsHelpers;
    shell: ShellHelpers;
    ir: IrHelpers;
    panel: PanelHelpers;
}

declare global {
    interface Window {
        Lumetta: LumettaApi;
        $event: { dispatch(event: string): void };
        /** Set before lumetta.js loads to keep it from starting event delivery by itself. */
        lumettaManualStart?: boolean;
        $$prompt?: boolean;
        $$xhrport?: number;
        /** The secret the loopback channel's requests carry. */
        $$xhrtoken?: string;
    }
}
