<#
.SYNOPSIS
    An Intune requirement script: prints True where the repair applies, False
    where it does not.

.DESCRIPTION
    The repair applies wherever the repair tool has something to do or to
    say: the agent's key exists in the 32-bit view of the machine registry,
    and the agent's Downloads folder exists below the machine-wide
    application-data folder, as anything. Use it as a requirement rule of
    output type Boolean, operator Equals, value Yes, so that machines without
    the agent, or without a Downloads folder to repair, are not counted as
    failed installs, while every machine where the tool would end with an
    error shows that error.

    In detail, it answers False (not applicable) where:
      - the key does not exist (no agent: the tool does nothing);
      - the key opens for full access, as the tool opens it, and its "Path"
        value is missing or names no folder (the tool does nothing);
      - one of the folders from the application-data folder to Downloads does
        not exist at all (nothing to repair).
    It answers True everywhere else, also where the tool will refuse: a key
    that refuses full access (the tool ends with status 5), a Downloads that
    is a file (267), a junction, symbolic link or file on the way or as
    Downloads itself (681). Whether each folder exists is asked of the item
    itself, without following a link.

    "Path" is read as the tool reads it: its bytes, whatever the value's type,
    taken as UTF-16 text up to the first NUL, never expanded; a value larger
    than the tool's 4096-byte buffer counts as no value.

    Anything it cannot tell (an unexpected error, or ConstrainedLanguage mode,
    where it cannot read the registry at all) is one line on standard error
    and exit status 1, never a quiet False: Intune then shows the requirement
    as failed rather than the machine as not applicable.

.NOTES
    Written for Windows PowerShell 5.1; uses nothing that PowerShell 7 or a
    plain Windows installation lacks. Gives the same answer in a 32-bit and a
    64-bit PowerShell.

    How to use it as a requirement rule: docs/deploying.md in the project's
    source, section "Microsoft Intune (Win32 app)" (and, as a global
    condition, "Configuration Manager (application)"); what it answers where:
    section "Where the repair applies".

.LINK
    docs/deploying.md#microsoft-intune-win32-app

.LINK
    docs/deploying.md#configuration-manager-application

.LINK
    docs/deploying.md#where-the-repair-applies
#>
[CmdletBinding()]
param()

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'

$AgentKey = 'SOFTWARE\Morvane Security\Dovrix\Kelto Agent'
$Suffix = 'Morvane Security', 'Morvane Devices Agent', 'Downloads'
# The size of the tool's buffer for "Path", in bytes.
$ValueBytes = 4096

# ---------------------------------------------------------------------------
# What Windows says, as plain data. The tests replace these.

# The agent's key as the tool opens it: State 'missing', 'refused' (it
# exists but does not open for full access: the tool stops there with its
# error) or 'open'; where open, "Path" as the registry hands it to .NET (its
# Kind and Value; Value $null where there is none).
function Get-AgentKey {
    $machine = [Microsoft.Win32.RegistryKey]::OpenBaseKey([Microsoft.Win32.RegistryHive]::LocalMachine,
        [Microsoft.Win32.RegistryView]::Registry32)
    try {
        try {
            $key = $machine.OpenSubKey($AgentKey, [Microsoft.Win32.RegistryKeyPermissionCheck]::ReadWriteSubTree,
                [System.Security.AccessControl.RegistryRights]::FullControl)
        } catch [System.Security.SecurityException], [System.UnauthorizedAccessException] {
            return [pscustomobject]@{ State = 'refused'; Kind = $null; Value = $null }
        }
        if ($null -eq $key) {
            return [pscustomobject]@{ State = 'missing'; Kind = $null; Value = $null }
        }
        try {
            $value = $key.GetValue('Path', $null, [Microsoft.Win32.RegistryValueOptions]::DoNotExpandEnvironmentNames)
            $kind = if ($null -ne $value) { "$($key.GetValueKind('Path'))" }
            [pscustomobject]@{ State = 'open'; Kind = $kind; Value = $value }
        } finally {
            $key.Dispose()
        }
    } finally {
        $machine.Dispose()
    }
}

# Whether Path names a folder, following links as the tool's check does.
function Test-Folder {
    param([string]$Path)
    [System.IO.Directory]::Exists($Path)
}

# What lies at Path, the item itself and not what a link leads to: 'missing',
# 'folder', 'file' or 'link' (a reparse point of any kind). Any other failure
# to look is an error, never 'missing'.
function Get-PathKind {
    param([string]$Path)
    try {
        $attributes = [System.IO.File]::GetAttributes($Path)
    } catch [System.IO.FileNotFoundException], [System.IO.DirectoryNotFoundException] {
        return 'missing'
    }
    if ($attributes -band [System.IO.FileAttributes]::ReparsePoint) {
        'link'
    } elseif ($attributes -band [System.IO.FileAttributes]::Directory) {
        'folder'
    } else {
        'file'
    }
}

function Get-AppDataFolder {
    [Environment]::GetFolderPath('CommonApplicationData')
}

# ---------------------------------------------------------------------------
# Decisions, over plain data.

# The bytes the registry holds for a value of that kind, as .NET handed it
# over: strings with their terminating NUL, numbers little-endian.
function ConvertTo-ValueBytes {
    param([string]$Kind, $Value)
    switch ($Kind) {
        { $_ -eq 'String' -or $_ -eq 'ExpandString' } { return [System.Text.Encoding]::Unicode.GetBytes("$Value`0") }
        'MultiString' { return [System.Text.Encoding]::Unicode.GetBytes((@($Value) -join "`0") + "`0`0") }
        'DWord' { return [System.BitConverter]::GetBytes([int]$Value) }
        'QWord' { return [System.BitConverter]::GetBytes([long]$Value) }
        default { return [byte[]]@($Value) }
    }
}

# The text the tool examines: the bytes as UTF-16 up to the first NUL (an odd
# last byte pairs with the zero after it in the tool's buffer); $null when the
# value does not fit the buffer, as the tool's read then fails.
function ConvertTo-ToolText {
    param([byte[]]$Bytes)
    if ($Bytes.Length -gt $ValueBytes) {
        return $null
    }
    if ($Bytes.Length % 2) {
        $Bytes = [byte[]]($Bytes + [byte]0)
    }
    [System.Text.Encoding]::Unicode.GetString($Bytes).Split([char]0)[0]
}

# Whether the tool would act here, or end with an error worth seeing.
function Test-RepairApplies {
    $key = Get-AgentKey
    if ($key.State -eq 'missing') {
        return $false
    }
    if ($key.State -eq 'open') {
        if ($null -eq $key.Value) {
            return $false
        }
        $text = ConvertTo-ToolText (ConvertTo-ValueBytes $key.Kind $key.Value)
        if (-not $text -or -not (Test-Folder $text)) {
            return $false
        }
    }
    $appData = Get-AppDataFolder
    if (-not $appData) {
        return $false
    }
    # Plain text, as the tool builds it (one backslash, unless there is one
    # already): no PowerShell drive is consulted.
    $path = $appData.TrimEnd('\')
    foreach ($part in $Suffix) {
        $path = "$path\$part"
        switch (Get-PathKind $path) {
            'missing' { return $false }
            'folder' { }
            # A file or a link on the way, or as Downloads: the tool refuses it.
            default { return $true }
        }
    }
    $true
}

# Dot-sourced (as the tests do), the script only defines its functions.
if ($MyInvocation.InvocationName -eq '.') {
    return
}
# One line on standard error in 5.1 and 7 alike, and exit status 1.
$global:ErrorView = 'CategoryView'
if ($ExecutionContext.SessionState.LanguageMode -ne 'FullLanguage') {
    Write-Error -Category SecurityError -CategoryActivity 'Test-DownloadsPermissionsApplies.ps1' `
        -CategoryTargetName $ExecutionContext.SessionState.LanguageMode `
        -CategoryReason 'needs FullLanguage; use the signed copy' -Message 'needs FullLanguage mode' -ErrorAction Continue
    exit 1
}
try {
    Write-Output (Test-RepairApplies)
} catch {
    Write-Error -Category ReadError -CategoryActivity 'Test-DownloadsPermissionsApplies.ps1' `
        -CategoryReason $_.Exception.Message -Message $_.Exception.Message -ErrorAction Continue
    exit 1
}
exit 0
