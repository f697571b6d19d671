<#
.SYNOPSIS
    Finds every way an account other than SYSTEM, Administrators or
    TrustedInstaller can still change the agent's Downloads folder or what it
    holds: what the repair tool cannot change. Reads only; writes nothing.

.DESCRIPTION
    The repair tool copies one access list onto Downloads. It leaves owners,
    inherited entries, the folders above Downloads and what lies inside as they
    are. This audit looks at all of those and returns one finding for each way
    it finds:
      - entries on Downloads, inherited or explicit, including inherit-only
        entries that pass to what it holds, that give another account a right
        to change: write (create files), append (create folders), delete,
        delete children, change permissions (WRITE_DAC), take ownership
        (WRITE_OWNER), or a generic right holding one of these (GENERIC_WRITE,
        GENERIC_ALL);
      - the two folders above Downloads: an owner other than the three, and
        entries that give another account delete, delete children, change
        permissions, take ownership or full control (GENERIC_ALL): with them
        Downloads, or the folder above it, can be renamed away and replaced;
      - the tree inside Downloads, walked without following links (at most
        -MaxItems items and -MaxSeconds seconds; a finding says when the walk
        stopped early): owners other than the three (the copied CREATOR OWNER
        entry gives each owner full control of what they own), explicit
        entries that give another account a right to change, reparse points
        (junctions, symbolic links, mount points) and files with more than one
        name (hard links), which Windows' walk over Downloads may change
        wherever their other names lie;
      - the agent's registry key, where it exists but does not open for full
        access: the tool then does nothing on this machine.
    Write attributes and write extended attributes are not counted: they let an
    account change a file's attributes, not its contents or its access list.

    Each finding has Path, Sid, Account (the name where it resolves), Allows
    (the rights that count, by name), Why and Remedy. Remedies are commands
    that work when typed into an elevated PowerShell; none follows a link.

.PARAMETER Summary
    For Intune Remediations (detection-only): prints one line and exits 1 when
    anything is found, prints "no exposure found" and exits 0 when not.
    Remediations pass no arguments, so the script answers this way by itself
    where it runs as SYSTEM outside a console and outside a remote session, as
    the Intune Management Extension runs it; -Summary:$false there gives the
    objects.

.PARAMETER MaxItems
    How many items inside Downloads the walk looks at before it stops.

.PARAMETER MaxSeconds
    How long the walk inside Downloads may take before it stops.

.EXAMPLE
    .\Get-DownloadsExposure.ps1 | Format-List

.EXAMPLE
    Invoke-Command -ComputerName (Get-Content .\pilot.txt) -FilePath .\Get-DownloadsExposure.ps1 |
        Export-Csv -NoTypeInformation -Path .\exposure.csv

.NOTES
    Written for Windows PowerShell 5.1; uses nothing that PowerShell 7 or a
    plain Windows installation lacks. Run it elevated or as SYSTEM: what it
    cannot read is a finding of its own. In ConstrainedLanguage mode it cannot
    read access lists at all and refuses in one line on standard error with
    exit status 1.
#>
[CmdletBinding()]
param(
    [switch]$Summary,

    [ValidateRange(1, 10000000)]
    [int]$MaxItems = 100000,

    [ValidateRange(1, 86400)]
    [int]$MaxSeconds = 300
)

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'

$Suffix = 'Morvane Security', 'Morvane Devices Agent', 'Downloads'
$AgentKey = 'SOFTWARE\Morvane Security\Dovrix\Kelto Agent'
$Trusted = @{
    'S-1-5-18'     = 'SYSTEM'
    'S-1-5-32-544' = 'Administrators'
    'S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464' = 'TrustedInstaller'
}
# CREATOR OWNER and CREATOR GROUP stand for whoever owns what is created; the
# owners found inside are reported instead.
$Creators = 'S-1-3-0', 'S-1-3-1'
$RightNames = @(
    @(0x2, 'write (create files)'), @(0x4, 'append (create folders)'), @(0x40, 'delete children'), @(0x10000, 'delete'),
    @(0x40000, 'change permissions'), @(0x80000, 'take ownership'), @(0x40000000, 'generic write'),
    @(0x10000000, 'full control (generic all)'))
# What lets an account change what lies in a folder or the folder itself, and
# what lets it move a folder on the way away or take it over.
$ChangeRights = 0x2 -bor 0x4 -bor 0x40 -bor 0x10000 -bor 0x40000 -bor 0x80000 -bor 0x40000000 -bor 0x10000000
$TakeOverRights = 0x40 -bor 0x10000 -bor 0x40000 -bor 0x80000 -bor 0x10000000
$InheritOnly = 2  # PropagationFlags.InheritOnly

# ---------------------------------------------------------------------------
# What Windows says, as plain data. The tests replace these.

function Get-AppDataFolder {
    [Environment]::GetFolderPath('CommonApplicationData')
}

# An item as the audit sees it: whether it exists and is a folder, whether it
# is a reparse point, whether (a file) it has more than one name, its owner's
# SID and its access entries (explicit and inherited, in order: SID, Allow or
# Deny, rights, inherited, inheritance and propagation flags, as numbers).
# Error holds why it could not be read.
function Get-ItemFacts {
    param([string]$Path)
    $facts = [ordered]@{ Path = $Path; Exists = $false; IsFolder = $false; IsReparsePoint = $false
        IsHardLinked = $false; Owner = $null; Entries = @(); Error = $null }
    try {
        $item = Get-Item -LiteralPath $Path -Force -ErrorAction SilentlyContinue
        if ($null -eq $item) {
            return [pscustomobject]$facts
        }
        $facts.Exists = $true
        $facts.IsFolder = [bool]$item.PSIsContainer
        $facts.IsReparsePoint = [bool]($item.Attributes -band [System.IO.FileAttributes]::ReparsePoint)
        $facts.IsHardLinked = -not $item.PSIsContainer -and "$($item.LinkType)" -eq 'HardLink'
        $acl = Get-Acl -LiteralPath $Path
        $sid = [System.Security.Principal.SecurityIdentifier]
        $facts.Owner = $acl.GetOwner($sid).Value
        $facts.Entries = @($acl.GetAccessRules($true, $true, $sid) | ForEach-Object {
                [pscustomobject]@{
                    Sid = $_.IdentityReference.Value; Type = "$($_.AccessControlType)"; Rights = [int]$_.FileSystemRights
                    Inherited = $_.IsInherited; Inheritance = [int]$_.InheritanceFlags; Propagation = [int]$_.PropagationFlags
                }
            })
    } catch {
        $facts.Error = $_.Exception.Message
    }
    [pscustomobject]$facts
}

# The full paths of what a folder holds, links included but not entered.
function Get-ChildPath {
    param([string]$Path)
    @(Get-ChildItem -LiteralPath $Path -Force | ForEach-Object { $_.FullName })
}

# Whether the agent's key, in the 32-bit view, opens as the tool opens it:
# 'missing', 'full access', or why it refused.
function Get-AgentKeyAccess {
    $machine = [Microsoft.Win32.RegistryKey]::OpenBaseKey([Microsoft.Win32.RegistryHive]::LocalMachine,
        [Microsoft.Win32.RegistryView]::Registry32)
    try {
        $key = $machine.OpenSubKey($AgentKey, [Microsoft.Win32.RegistryKeyPermissionCheck]::ReadWriteSubTree,
            [System.Security.AccessControl.RegistryRights]::FullControl)
        if ($null -eq $key) {
            return 'missing'
        }
        $key.Dispose()
        'full access'
    } catch [System.Security.SecurityException], [System.UnauthorizedAccessException] {
        "refused: $($_.Exception.Message)"
    } finally {
        $machine.Dispose()
    }
}

# SYSTEM with no console and no remote caller: how Intune runs a Remediation.
function Test-UnattendedSystem {
    try {
        -not [Environment]::UserInteractive -and -not (Test-Path -LiteralPath 'variable:PSSenderInfo') -and
            [System.Security.Principal.WindowsIdentity]::GetCurrent().User.Value -eq 'S-1-5-18'
    } catch {
        $false
    }
}

function Resolve-Account {
    param([string]$Sid)
    try {
        (New-Object System.Security.Principal.SecurityIdentifier $Sid).Translate([System.Security.Principal.NTAccount]).Value
    } catch {
        $null
    }
}

# ---------------------------------------------------------------------------
# Decisions, over plain data.

function Get-RightName {
    param([int]$Rights, [int]$Mask)
    @($RightNames | Where-Object { $Rights -band $Mask -band $_[0] } | ForEach-Object { $_[1] }) -join ', '
}

# Quoted for PowerShell: a single-quoted string, so that nothing in a path is
# read as code or splits an argument.
function Format-Quoted {
    param([string]$Text)
    "'" + $Text.Replace("'", "''") + "'"
}

function New-Finding {
    param([string]$Path, [string]$Sid, [string]$Allows, [string]$Why, [string]$Remedy)
    [pscustomobject][ordered]@{
        Path = $Path; Sid = $Sid; Account = $(if ($Sid) { Resolve-Account $Sid }); Allows = $Allows; Why = $Why; Remedy = $Remedy
    }
}

# Allow entries that give an account outside the three, and outside the
# creator placeholders, any of the rights in Mask.
function Get-OtherGrant {
    param($Entries, [int]$Mask)
    @($Entries | Where-Object {
            $_.Type -eq 'Allow' -and -not $Trusted.ContainsKey($_.Sid) -and $Creators -notcontains $_.Sid -and ($_.Rights -band $Mask)
        })
}

function Find-DownloadsExposure {
    param($Downloads)
    $quoted = Format-Quoted $Downloads.Path
    foreach ($entry in Get-OtherGrant $Downloads.Entries $ChangeRights) {
        $reach = if ($entry.Propagation -band $InheritOnly) { 'passes to everything created inside Downloads (inherit-only)' }
        else { 'applies to Downloads itself' }
        if ($entry.Inherited) {
            New-Finding $Downloads.Path $entry.Sid (Get-RightName $entry.Rights $ChangeRights) `
                "inherited from a folder above; it $reach. The tool keeps inheritance, so the copy leaves it" `
                "If removing inheritance is your decision: icacls $quoted /inheritance:r /c /l (the copied entries stay), then run the tool again"
        } else {
            New-Finding $Downloads.Path $entry.Sid (Get-RightName $entry.Rights $ChangeRights) `
                "an explicit entry that is not the program-files folder's; it $reach" `
                'Run the tool: it replaces the explicit entries'
        }
    }
}

# The folders above Downloads: who may take them over or move what they hold.
function Find-WayExposure {
    param($Folder)
    $quoted = Format-Quoted $Folder.Path
    if ($Folder.Owner -and -not $Trusted.ContainsKey($Folder.Owner)) {
        New-Finding $Folder.Path $Folder.Owner 'owner' `
            'owns a folder on the way to Downloads: may change its list, and so rename what it holds and put another folder in its place' `
            "icacls $quoted /setowner '*S-1-5-32-544' /c /l"
    }
    foreach ($entry in Get-OtherGrant $Folder.Entries $TakeOverRights) {
        $remedy = if ($entry.Inherited) { 'The entry comes from the folder above it: review that folder''s list' }
        else { "icacls $quoted /remove:g $(Format-Quoted ('*' + $entry.Sid)) /c /l" }
        New-Finding $Folder.Path $entry.Sid (Get-RightName $entry.Rights $TakeOverRights) `
            'may rename or replace what this folder on the way to Downloads holds, or take the folder over' $remedy
    }
}

# One item inside Downloads.
function Find-ItemExposure {
    param($Item, [string]$Downloads)
    $quoted = Format-Quoted $Item.Path
    if ($Item.Error) {
        return New-Finding $Item.Path $null '' "could not be read: $($Item.Error)" 'Run the audit as SYSTEM or elevated; take ownership if it still cannot be read'
    }
    if ($Item.IsReparsePoint) {
        New-Finding $Item.Path $Item.Owner '' `
            'a junction, symbolic link or mount point inside Downloads: Windows'' walk over Downloads may follow it' `
            "Find out who made it; (Get-Item -LiteralPath $quoted -Force).Delete() removes the link, not what it leads to"
    }
    if ($Item.IsHardLinked) {
        New-Finding $Item.Path $Item.Owner '' `
            'a file with more than one name: a change to its list through Downloads changes it wherever its other names lie' `
            "fsutil hardlink list $quoted shows its names; Remove-Item -LiteralPath $quoted removes this one only"
    }
    if ($Item.Owner -and -not $Trusted.ContainsKey($Item.Owner)) {
        New-Finding $Item.Path $Item.Owner 'owner (full control through CREATOR OWNER)' `
            'owns this item inside Downloads: keeps full control of it, and may change its list' `
            "icacls $(Format-Quoted $Downloads) /setowner '*S-1-5-32-544' /t /c /l"
    }
    foreach ($entry in Get-OtherGrant @($Item.Entries | Where-Object { -not $_.Inherited }) $ChangeRights) {
        New-Finding $Item.Path $entry.Sid (Get-RightName $entry.Rights $ChangeRights) `
            'an explicit entry inside Downloads: the copy changes only inherited entries' `
            "icacls $(Format-Quoted ($Downloads + '\*')) /reset /t /c /l"
    }
}

# Walks the tree inside Downloads breadth first, entering no reparse point,
# until it has seen MaxItems items or spent MaxSeconds. Hands back the facts
# of each item and whether it stopped early.
function Get-TreeFacts {
    param([string]$Downloads, [int]$MaxItems, [int]$MaxSeconds)
    $clock = [System.Diagnostics.Stopwatch]::StartNew()
    $queue = New-Object System.Collections.Queue
    $queue.Enqueue($Downloads)
    $items = New-Object System.Collections.ArrayList
    $stopped = $false
    while ($queue.Count -gt 0 -and -not $stopped) {
        $folder = $queue.Dequeue()
        try {
            $children = Get-ChildPath $folder
        } catch {
            [void]$items.Add([pscustomobject]@{ Path = $folder; Error = "its contents: $($_.Exception.Message)" })
            continue
        }
        foreach ($path in $children) {
            if ($items.Count -ge $MaxItems -or $clock.Elapsed.TotalSeconds -ge $MaxSeconds) {
                $stopped = $true
                break
            }
            $facts = Get-ItemFacts $path
            [void]$items.Add($facts)
            if ($facts.IsFolder -and -not $facts.IsReparsePoint -and -not $facts.Error) {
                $queue.Enqueue($path)
            }
        }
    }
    [pscustomobject]@{ Items = @($items); Stopped = $stopped }
}

# Every finding on this machine.
function Get-Exposure {
    param([int]$MaxItems, [int]$MaxSeconds)
    $key = Get-AgentKeyAccess
    if ($key -like 'refused*') {
        New-Finding "HKLM\$AgentKey (32-bit view)" $null 'full access refused' `
            "the tool opens this key for full access and does nothing where it cannot ($key)" `
            'Give SYSTEM full control of the key (regedit, Permissions), or ask the agent''s vendor'
    }
    $appData = Get-AppDataFolder
    if (-not $appData) {
        return New-Finding '' $null '' 'Windows names no machine-wide application-data folder' 'Check the machine''s shell folders'
    }
    # Built as the tool builds it: one backslash, unless there is one already.
    $path = $appData.TrimEnd('\')
    $way = @(foreach ($part in $Suffix) {
            $path = "$path\$part"
            Get-ItemFacts $path
        })
    foreach ($folder in $way) {
        if ($folder.Error) {
            return New-Finding $folder.Path $null '' "could not be read: $($folder.Error)" 'Run the audit as SYSTEM or elevated'
        }
        if (-not $folder.Exists) {
            return
        }
        if ($folder.IsReparsePoint -or -not $folder.IsFolder) {
            return New-Finding $folder.Path $folder.Owner '' 'a junction, symbolic link, mount point or file on the way to Downloads: the tool refuses it (status 681)' `
                'Find out who made it before removing it'
        }
    }
    foreach ($folder in $way[0..1]) {
        Find-WayExposure $folder
    }
    Find-DownloadsExposure $way[2]
    $tree = Get-TreeFacts -Downloads $way[2].Path -MaxItems $MaxItems -MaxSeconds $MaxSeconds
    foreach ($item in $tree.Items) {
        Find-ItemExposure $item $way[2].Path
    }
    if ($tree.Stopped) {
        New-Finding $way[2].Path $null '' "the walk inside Downloads stopped early, after $($tree.Items.Count) items: what lies beyond was not looked at" `
            'Run the audit again with a larger -MaxItems or -MaxSeconds'
    }
}

# The one line of -Summary, and the exit status that goes with it.
function Format-ExposureSummary {
    param($Findings)
    $found = @($Findings)
    if ($found.Count -eq 0) {
        return [pscustomobject]@{ Line = 'no exposure found'; Status = 0 }
    }
    $kinds = @($found | Group-Object -Property Why | Sort-Object -Property Count -Descending |
            ForEach-Object { '{0} x {1}' -f $_.Count, ($_.Name -split '[:;.]')[0] })
    [pscustomobject]@{ Line = "$($found.Count) exposure finding(s): $($kinds -join '; ')"; Status = 1 }
}

# Dot-sourced (as the tests do), the script only defines its functions.
if ($MyInvocation.InvocationName -eq '.') {
    return
}
if ($ExecutionContext.SessionState.LanguageMode -ne 'FullLanguage') {
    # One line on standard error in 5.1 and 7 alike.
    $global:ErrorView = 'CategoryView'
    Write-Error -Category SecurityError -CategoryActivity 'Get-DownloadsExposure.ps1' `
        -CategoryTargetName $ExecutionContext.SessionState.LanguageMode `
        -CategoryReason 'needs FullLanguage; use the signed copy' -Message 'needs FullLanguage mode' -ErrorAction Continue
    exit 1
}
if (-not $PSBoundParameters.ContainsKey('Summary')) {
    $Summary = [switch](Test-UnattendedSystem)
}
try {
    $findings = @(Get-Exposure -MaxItems $MaxItems -MaxSeconds $MaxSeconds)
} catch {
    if (-not $Summary) {
        throw
    }
    # Remediations show this line; the device counts as needing attention.
    Write-Output "the audit failed: $($_.Exception.Message)"
    exit 1
}
if ($Summary) {
    $verdict = Format-ExposureSummary $findings
    Write-Output $verdict.Line
    exit $verdict.Status
}
$findings
