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

/** Receives an event's own fields (after module and event name) and the whole event text. */
export type EventHandler = (fields: string[], raw: string) => void;

export interface LumettaApi {
    /** True inside Lumetta (the message handlers exist). */
    available(): boolean;
    parse(raw: string | null | undefined): Result;
    /** Calls a bridge function ("$$fs_stat") over the "lumetta2" message channel. */
    call(name: string, arg1?: Argument, arg2?: Argument): Promise<Result>;
    /** As call, over "lumetta1": the result is also stored in a page variable named by the body. */
    callVar(name: string, arg1?: Argument, arg2?: Argument): Promise<Result>;
    /** Calls synchronously over the prompt channel; arguments are percent-encoded. */
    callSync(name: string, arg1?: Argument, arg2?: Argument): Result;
    /** Calls over the loopback HTTP channel; the function runs off the main thread. */
    callXHR(name: string, arg1?: Argument, arg2?: Argument): Promise<Result>;
    /** Fire and forget over the "prompt" message handler. */
    send(name: string, arg1?: Argument, arg2?: Argument): void;
    /** Subscribes to events of a module ('*' for any module or event); returns the unsubscriber. */
    on(module: string, event: string, handler: EventHandler): () => void;
    /** Switches event delivery on and declares the page ready (done automatically at load). */
    start(): Promise<void>;
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
